#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

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

    explicit SingleInstance(QString serverName = defaultServerName(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/velkaro-backup-<uid>, or the same name in the temporary folder when there is no
    // runtime folder. The uid keeps users apart where the folder is shared.
    static QString defaultServerName();

    // Hands `arguments` over when an instance runs, otherwise becomes the running one. A socket left by
    // an instance that was killed is removed first.
    Role start(const QStringList &arguments);

    // True when a running instance acknowledged the arguments within `timeoutMs`.
    bool sendToRunning(const QStringList &arguments, int timeoutMs = 800) const;

    const QString &serverName() const { return m_serverName; }

signals:
    void argumentsReceived(const QStringList &arguments);

private:
    void acceptConnection();

    QString m_serverName;
    QLocalServer *m_server = nullptr;
};

} // namespace velkaro
