#include "app/SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace {
constexpr int kTimeoutMs = 500;
constexpr char kReopen[] = "reopen\n";
} // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName()
{
    QString name = QStringLiteral("folimeter-%1").arg(::getuid());
    const QByteArray display = qgetenv("WAYLAND_DISPLAY").isEmpty() ? qgetenv("DISPLAY") : qgetenv("WAYLAND_DISPLAY");
    if (!display.isEmpty())
        name += QLatin1Char('-') + QString::fromLocal8Bit(display).remove(QLatin1Char('/'));
    return name;
}

bool SingleInstance::forwardToRunningInstance()
{
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (socket.waitForConnected(kTimeoutMs)) {
        socket.write(kReopen);
        if (socket.waitForBytesWritten(kTimeoutMs)) {
            socket.disconnectFromServer();
            return true;
        }
    }

    // No answer: any socket left behind by a program that died is stale.
    QLocalServer::removeServer(serverName());
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(serverName()))
        return false; // runs on alone; a later launch simply starts another window
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (client->readAll().contains("reopen"))
                    emit reopenRequested();
                client->disconnectFromServer();
            });
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        }
    });
    return false;
}
