// What every worker of a running configuration has: its copy of the
// configuration, its state, its thread, the start and stop handshakes with
// the supervisor and the two ways a run ends.
#pragma once

#include "config/tunnelsettings.h"

#include <QObject>
#include <QString>
#include <QUuid>

class QThread;

class WorkThreadBase : public QObject
{
    Q_OBJECT
public:
    WorkThreadBase();
    ~WorkThreadBase() override;

    void setSettings(const TunnelSettings &tunnel) { settings = tunnel; }
    // Read by the engines from the worker's own thread.
    TunnelSettings::TunnelState state() const { return currentState; }
    QUuid uuid() const { return settings.uuid; }

signals:
    void stateChanged(QUuid uid, TunnelSettings::TunnelState newstate);
    void finished();
    void error(QString err);
    void requestStop();
    void lastError(QUuid uid, QString str);

public slots:
    void signalStart();
    void signalStop(QUuid uid);
    virtual void process() = 0;
    void finalizeWorkAndCleanup();
    void errorEnd(QString err);
    virtual void stopRequested() = 0;
    void workerThreadEnded();

protected:
    // True once Stopped or StoppedError was reported: whatever is still
    // queued for the worker after that has no effect.
    bool finalReported() const { return reportedEnd; }
    // Runs just before the final report: what the run holds for the whole
    // process (the PPP session) is let go here, so a configuration started
    // on that report finds it free.
    virtual void releaseShared() {}

    QThread *workerThread = nullptr;
    TunnelSettings::TunnelState currentState = TunnelSettings::Stopped;
    TunnelSettings settings;

private:
    bool reportedEnd = false;
};
