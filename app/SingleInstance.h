#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

class QLocalServer;

// One running program per user and display: a second launch hands its request over a local
// socket to the first, which brings its window back (the reopen request) and adds the files
// named with the launch, and then ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when another instance answered and took the request with `paths` (absolute, in
    // their file-system bytes); false when this process is the first one, in which case it
    // starts listening for later launches.
    bool forwardToRunningInstance(const QList<QByteArray>& paths = {});

    static QString serverName();

signals:
    void reopenRequested();
    // The paths a later launch named, in its order; sent after reopenRequested.
    void filesRequested(const QList<QByteArray>& paths);

private:
    void takeRequest(const QByteArray& request);

    QLocalServer* m_server = nullptr;
};
