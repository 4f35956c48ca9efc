// The worker of one configuration: one COM-TCP engine per used channel, and
// in PPP mode the PPP link brought up first.
#pragma once

#include "platform/keepalive.h"
#include "runtime/workthreadbase.h"

#include <QString>
#include <QVector>

class TunnelCommEngine;

class WorkThreadIP : public WorkThreadBase
{
    Q_OBJECT
public:
    WorkThreadIP();
    ~WorkThreadIP() override;

public slots:
    void process() override;
    void stopRequested() override;
    void engineReady();
    void engineError(QString err);
    void pppOk();
    void pppFinished();

private slots:
    void restartPPPOnce(QString str);

protected:
    void releaseShared() override;

private:
    void startEngines();
    // In PPP mode, keep-alive and receive window sized to the line and the
    // configuration's connections; the defaults otherwise.
    LineKeepalive lineKeepalive() const;
    void closeAllEngines();
    void switchPPPToErrorMode();
    // Brings the PPP link up; the engines start from pppOk.
    void startPPPMode();
    // Starts one engine; false (after releasing it) when its port does not open.
    bool startEngine(TunnelCommEngine *engine);

    QVector<TunnelCommEngine *> engines;
    bool pppStarted = false;
    bool stopPending = false;
    // This run holds the process's PPP session; only then does it stop PPP.
    bool pppClaimed = false;
    // The link-loss routing to restartPPPOnce, until the switch to error mode.
    QMetaObject::Connection pppLostRoute;
    bool pppEnginesStarted = false;
};
