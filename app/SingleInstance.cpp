#include "app/SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace {

constexpr int kTimeoutMs = 2000;
// A request: this line, then each path followed by a NUL byte (the one byte no path holds).
constexpr char kReopen[] = "reopen\n";
// A request longer than this is not taken: no launch names that much.
constexpr qsizetype kMaxRequest = 64 * 1024 * 1024;

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

bool SingleInstance::forwardToRunningInstance(const QList<QByteArray>& paths)
{
    QByteArray request = kReopen;
    for (const QByteArray& path : paths)
        request += path + '\0';
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (socket.waitForConnected(kTimeoutMs) && socket.write(request) == request.size()) {
        while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(kTimeoutMs)) {
        }
        if (socket.bytesToWrite() == 0) {
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
            // The request is complete when the other side has gone.
            connect(client, &QLocalSocket::readyRead, client, [client] {
                if (client->bytesAvailable() > kMaxRequest)
                    client->abort();
            });
            connect(client, &QLocalSocket::disconnected, this, [this, client] {
                if (client->bytesAvailable() <= kMaxRequest)
                    takeRequest(client->readAll());
                client->deleteLater();
            });
        }
    });
    return false;
}

void SingleInstance::takeRequest(const QByteArray& request)
{
    if (!request.startsWith(kReopen))
        return;
    QList<QByteArray> paths = request.sliced(qsizetype(sizeof kReopen) - 1).split('\0');
    paths.removeLast(); // after the last NUL
    emit reopenRequested();
    if (!paths.isEmpty())
        emit filesRequested(paths);
}
