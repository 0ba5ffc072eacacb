#include "Shell/SingleInstance.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

#include <unistd.h>

namespace velkaro {

namespace {

constexpr char kAck = '\x06';

} // namespace

SingleInstance::SingleInstance(QString serverName, QObject *parent)
    : QObject(parent)
    , m_serverName(std::move(serverName))
{ }

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultServerName()
{
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QDir(dir).exists())
        dir = QDir::tempPath();
    return dir + QStringLiteral("/velkaro-backup-") + QString::number(::getuid());
}

bool SingleInstance::sendToRunning(const QStringList &arguments, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return false;
    QByteArray message;
    QDataStream out(&message, QIODevice::WriteOnly);
    out << arguments;
    socket.write(message);
    if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
        return false;
    while (socket.bytesAvailable() == 0) {
        if (!socket.waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    return socket.read(1) == QByteArray(1, kAck);
}

SingleInstance::Role SingleInstance::start(const QStringList &arguments)
{
    if (sendToRunning(arguments))
        return Role::handedOver;

    // Two launches at the same moment must not both decide that they are first: the check and the
    // listen happen under a lock. A lock left by a killed process is recognised by its pid.
    QLockFile lock(m_serverName + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    const bool locked = lock.tryLock(3000);
    if (locked && sendToRunning(arguments))
        return Role::handedOver;

    // Nobody answered: whatever socket file is there was left behind.
    QLocalServer::removeServer(m_serverName);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_serverName)) {
        delete m_server;
        m_server = nullptr;
        return Role::alone;
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
    return Role::primary;
}

void SingleInstance::acceptConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            QDataStream in(socket);
            in.startTransaction();
            QStringList arguments;
            in >> arguments;
            if (!in.commitTransaction())
                return; // the rest is still on its way
            socket->write(QByteArray(1, kAck));
            socket->flush();
            socket->disconnectFromServer();
            emit argumentsReceived(arguments);
        });
        // A client that never finishes its message is dropped.
        QTimer::singleShot(5000, socket, [socket] { socket->abort(); });
    }
}

} // namespace velkaro
