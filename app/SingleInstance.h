#pragma once

#include <QObject>

class QLocalServer;

// One running program per user and display: a second launch asks the first, over a local
// socket, to bring its window back (the reopen request) and then ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when another instance answered and took the request; false when this process is
    // the first one, in which case it starts listening for later launches.
    bool forwardToRunningInstance();

    static QString serverName();

signals:
    void reopenRequested();

private:
    QLocalServer* m_server = nullptr;
};
