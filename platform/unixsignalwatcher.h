// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the event loop.
// The handler only writes the signal number into a socket pair; everything
// else happens in the thread that owns the watcher.
#pragma once

#include <QObject>

class QSocketNotifier;

class UnixSignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignalWatcher(QObject *parent = nullptr);
    ~UnixSignalWatcher() override;

signals:
    void terminationRequested(int signalNumber);

private slots:
    void readSignal();

private:
    QSocketNotifier *m_notifier = nullptr;
};
