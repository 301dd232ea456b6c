#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QUrl>

#include <functional>

// Asks the desktop's file manager, through the org.freedesktop.FileManager1 interface on
// the session bus, to show files selected in their folders or to open their properties
// windows. Calls never block: the answer arrives later on this thread's event loop, and
// when no file manager answers (no session bus, no such service, an error reply or no
// reply in time) the given fallback runs there instead.
class FileManagerClient : public QObject {
    Q_OBJECT
public:
    // Talks over `connection` (the session bus unless told otherwise).
    explicit FileManagerClient(QObject* parent = nullptr);
    FileManagerClient(const QDBusConnection& connection, QObject* parent = nullptr);

    static constexpr const char* kService = "org.freedesktop.FileManager1";
    static constexpr const char* kPath = "/org/freedesktop/FileManager1";
    static constexpr const char* kInterface = "org.freedesktop.FileManager1";

    // ShowItems(uris, startup id): one call with every URL.
    void showItems(const QList<QUrl>& urls, std::function<void()> fallback);
    // ShowItemProperties(uris, startup id): one call with every URL.
    void showItemProperties(const QList<QUrl>& urls, std::function<void()> fallback);

    // How long to wait for an answer before falling back, in milliseconds.
    void setTimeout(int milliseconds) { m_timeout = milliseconds; }

signals:
    // A call has ended: answered by the file manager, or not (the fallback has run).
    void callFinished(const QString& method, bool answered);

private:
    void call(const QString& method, const QList<QUrl>& urls, std::function<void()> fallback);

    QDBusConnection m_connection;
    int m_timeout = 10000;
};
