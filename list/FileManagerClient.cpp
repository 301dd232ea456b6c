#include "list/FileManagerClient.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>

FileManagerClient::FileManagerClient(QObject* parent) : FileManagerClient(QDBusConnection::sessionBus(), parent) {}

FileManagerClient::FileManagerClient(const QDBusConnection& connection, QObject* parent)
    : QObject(parent), m_connection(connection)
{
}

void FileManagerClient::showItems(const QList<QUrl>& urls, std::function<void()> fallback)
{
    call(QStringLiteral("ShowItems"), urls, std::move(fallback));
}

void FileManagerClient::showItemProperties(const QList<QUrl>& urls, std::function<void()> fallback)
{
    call(QStringLiteral("ShowItemProperties"), urls, std::move(fallback));
}

void FileManagerClient::call(const QString& method, const QList<QUrl>& urls, std::function<void()> fallback)
{
    auto finish = [this, method, fallback = std::move(fallback)](bool answered) {
        if (!answered && fallback)
            fallback();
        emit callFinished(method, answered);
    };
    if (!m_connection.isConnected()) {
        // Still asynchronous, so callers see one behaviour whatever the bus.
        QMetaObject::invokeMethod(
            this, [finish] { finish(false); }, Qt::QueuedConnection);
        return;
    }
    QStringList uris;
    for (const QUrl& url : urls)
        uris.append(QString::fromUtf8(url.toEncoded()));
    QDBusMessage message = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                                          QLatin1String(kInterface), method);
    message << uris << QString();
    auto* watcher = new QDBusPendingCallWatcher(m_connection.asyncCall(message, m_timeout), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [finish](QDBusPendingCallWatcher* self) {
        self->deleteLater();
        finish(!self->isError());
    });
}
