#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <optional>
#include <sys/types.h>

class QLocalServer;
class QLocalSocket;

namespace velkaro {

// One running application per user. A later launch hands its arguments to the running one over a
// local socket and leaves; the running one hears them through argumentsReceived.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Role {
        handedOver, // another instance took the arguments: this process should exit
        primary, // this process is the running instance now
        alone, // no socket could be set up: run, but nobody can hand over to us
    };

    // Connections handled at once; a newer one pushes out the oldest that has not finished its message.
    static constexpr int kMaxConnections = 8;
    // How long a connection may take to send its message.
    static constexpr int kConnectionDeadlineMs = 3000;

    explicit SingleInstance(QString serverName = defaultServerName(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/velkaro-backup-<uid> when the session has its runtime folder. Without one, the
    // socket goes into a folder of this user's alone (privateFolder): velkaro-backup-<uid> in the
    // temporary folder, or, when someone else holds that name, velkaro-backup in the cache folder.
    // Empty when no such folder can be had.
    static QString defaultServerName();

    // `path` as a folder that only this user owns and can enter: created (0700) when missing, its mode
    // narrowed to 0700 when it is ours but wider. Nothing when something else stands there (a link, a
    // file, a folder of another user).
    static std::optional<QString> privateFolder(const QString &path);

    // Hands `arguments` over when an instance runs, otherwise becomes the running one. A socket left by
    // an instance that was killed is removed first.
    Role start(const QStringList &arguments);

    // True when a running instance of this user acknowledged the arguments within `timeoutMs`. A socket
    // that another user listens on is never sent anything.
    bool sendToRunning(const QStringList &arguments, int timeoutMs = 800) const;

    const QString &serverName() const { return m_serverName; }
    int activeConnections() const { return int(m_connections.size()); }

signals:
    void argumentsReceived(const QStringList &arguments);

private:
    enum class Answer { acknowledged, nobody, noAnswer };
    Answer send(const QStringList &arguments, int timeoutMs) const;
    bool listen();
    void acceptConnection();
    void readMessage(QLocalSocket *socket);
    // Forgets the connection: `cut` ends it at once, otherwise what was written goes out first.
    void dropConnection(QLocalSocket *socket, bool cut = true);
    // Listens again when the socket file was removed or the server stopped (it does on an accept error).
    void checkListening();

    QString m_serverName;
    QLocalServer *m_server = nullptr;
    std::deque<QLocalSocket *> m_connections; // oldest first
    ino_t m_socketInode = 0;
    QTimer m_watch;
};

} // namespace velkaro
