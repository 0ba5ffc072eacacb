#include "Shell/SingleInstance.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkaro {

namespace {

constexpr char kAck = '\x06';
constexpr int kWatchIntervalMs = 2000;
// How long a start keeps asking an instance that accepts the connection but has not answered yet.
constexpr int kBusyInstanceWaitMs = 4000;

bool isPrivate(const struct stat &st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 0077) == 0;
}

// The uid of the process at the other end of a connected local socket.
std::optional<uid_t> peerUid(const QLocalSocket &socket)
{
    struct ucred credentials = {};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return std::nullopt;
    return credentials.uid;
}

std::optional<ino_t> socketInode(const QString &path)
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return std::nullopt;
    return st.st_ino;
}

} // namespace

SingleInstance::SingleInstance(QString serverName, QObject *parent)
    : QObject(parent)
    , m_serverName(std::move(serverName))
{
    m_watch.setInterval(kWatchIntervalMs);
    connect(&m_watch, &QTimer::timeout, this, &SingleInstance::checkListening);
}

SingleInstance::~SingleInstance() = default;

std::optional<QString> SingleInstance::privateFolder(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return std::nullopt;
    struct stat st = {};
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return std::nullopt;
    // Ours but open to others (made by hand, say): closed before anything of ours goes in.
    if (!isPrivate(st) && (::chmod(native.constData(), 0700) != 0 || ::lstat(native.constData(), &st) != 0))
        return std::nullopt;
    return isPrivate(st) ? std::optional<QString>(path) : std::nullopt;
}

QString SingleInstance::defaultServerName()
{
    const QString uid = QString::number(::getuid());
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    struct stat st = {};
    if (!runtime.isEmpty() && ::stat(QFile::encodeName(runtime).constData(), &st) == 0 && isPrivate(st))
        return runtime + QStringLiteral("/velkaro-backup-") + uid;
    // A shared temporary folder: anyone may take a name there first, so the folder is checked.
    if (auto folder = privateFolder(QDir::tempPath() + QStringLiteral("/velkaro-backup-") + uid))
        return *folder + QStringLiteral("/socket");
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty())
        cache = QDir::homePath() + QStringLiteral("/.cache");
    QDir().mkpath(cache);
    if (auto folder = privateFolder(cache + QStringLiteral("/velkaro-backup")))
        return *folder + QStringLiteral("/socket");
    return {};
}

bool SingleInstance::sendToRunning(const QStringList &arguments, int timeoutMs) const
{
    return send(arguments, timeoutMs) == Answer::acknowledged;
}

SingleInstance::Answer SingleInstance::send(const QStringList &arguments, int timeoutMs) const
{
    if (m_serverName.isEmpty())
        return Answer::nobody;
    // Someone else's socket gets nothing of ours: it counts as nobody, and ours replaces it.
    struct stat st = {};
    if (::lstat(QFile::encodeName(m_serverName).constData(), &st) == 0 && st.st_uid != ::getuid())
        return Answer::nobody;
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return Answer::nobody;
    // The same for a listener of someone else's.
    if (peerUid(socket) != ::getuid())
        return Answer::nobody;
    QByteArray message;
    QDataStream out(&message, QIODevice::WriteOnly);
    out << arguments;
    socket.write(message);
    if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
        return Answer::noAnswer;
    while (socket.bytesAvailable() == 0) {
        if (!socket.waitForReadyRead(int(deadline.remainingTime())))
            return Answer::noAnswer;
    }
    return socket.read(1) == QByteArray(1, kAck) ? Answer::acknowledged : Answer::noAnswer;
}

SingleInstance::Role SingleInstance::start(const QStringList &arguments)
{
    if (m_serverName.isEmpty())
        return Role::alone;
    if (sendToRunning(arguments))
        return Role::handedOver;

    // Two launches at the same moment must not both decide that they are first: the check and the
    // listen happen under a lock. A lock left by a killed process is recognised by its pid.
    QLockFile lock(m_serverName + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    const bool locked = lock.tryLock(3000);
    // An instance that takes the connection but is slow to answer is alive: it is asked again, and its
    // socket is never taken from it.
    const QDeadlineTimer patience(kBusyInstanceWaitMs);
    for (;;) {
        const Answer answer = locked ? send(arguments, 800) : Answer::nobody;
        if (answer == Answer::acknowledged)
            return Role::handedOver;
        if (answer == Answer::nobody)
            break;
        if (patience.hasExpired())
            return Role::alone;
        QThread::msleep(100);
    }

    // Nobody answered: whatever socket file is there was left behind.
    return listen() ? Role::primary : Role::alone;
}

bool SingleInstance::listen()
{
    delete m_server;
    QLocalServer::removeServer(m_serverName);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->setMaxPendingConnections(kMaxConnections);
    if (!m_server->listen(m_serverName)) {
        delete m_server;
        m_server = nullptr;
        m_watch.stop();
        return false;
    }
    m_socketInode = socketInode(m_server->fullServerName()).value_or(0);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
    m_watch.start();
    return true;
}

void SingleInstance::checkListening()
{
    if (!m_server)
        return;
    const auto inode = socketInode(m_serverName);
    if (m_server->isListening() && inode == m_socketInode)
        return;
    // Another instance that listens there now keeps its socket.
    if (inode && send({QStringLiteral("--background")}, 300) == Answer::acknowledged)
        return;
    listen();
}

void SingleInstance::acceptConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        // At the bound, the oldest connection that has not finished its message makes room.
        if (int(m_connections.size()) >= kMaxConnections)
            dropConnection(m_connections.front());
        m_connections.push_back(socket);
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { dropConnection(socket); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessage(socket); });
        // A client that never finishes its message is dropped.
        QTimer::singleShot(kConnectionDeadlineMs, socket, [this, socket] { dropConnection(socket); });
        if (socket->bytesAvailable() > 0)
            readMessage(socket);
    }
}

void SingleInstance::readMessage(QLocalSocket *socket)
{
    QDataStream in(socket);
    in.startTransaction();
    QStringList arguments;
    in >> arguments;
    if (!in.commitTransaction())
        return; // the rest is still on its way
    socket->write(QByteArray(1, kAck));
    socket->flush();
    dropConnection(socket, false);
    emit argumentsReceived(arguments);
}

void SingleInstance::dropConnection(QLocalSocket *socket, bool cut)
{
    const auto found = std::ranges::find(m_connections, socket);
    if (found == m_connections.end())
        return;
    m_connections.erase(found);
    socket->disconnect(this);
    if (cut) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    // The acknowledgement written before still goes out.
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kConnectionDeadlineMs, socket, &QObject::deleteLater);
    socket->disconnectFromServer();
}

} // namespace velkaro
