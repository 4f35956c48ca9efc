#include "runtime/workthreadip.h"

#include "log/debug_class.h"
#include "runtime/linequeue.h"
#include "runtime/pppengine.h"
#include "runtime/tunnelcommengine.h"

WorkThreadIP::WorkThreadIP() = default;

WorkThreadIP::~WorkThreadIP()
{
    closeAllEngines();
    releaseShared();
    VLOG(6) << QStringLiteral("Destruction of UUID %1 [IP]").arg(settings.uuid.toString());
}

void WorkThreadIP::process()
{
    if (settings.mode == TunnelSettings::DirectIP) {
        VLOG(4) << "Starting direct IP engines";
        startEngines();
    } else {
        startPPPMode();
    }
}

void WorkThreadIP::startPPPMode()
{
    PPPEngine *ppp = PPPEngine::processEngine();
    if (!ppp) {
        // The application has no PPP engine to give (it was not created).
        emit error(tr("Sesja PPP nie może zostać uruchomiona"));
        return;
    }
    if (!ppp->claim(settings.uuid)) {
        emit error(tr("Sesja PPP jest już aktywna"));
        return;
    }
    pppClaimed = true;
    stopPending = false;
    pppStarted = true;
    ppp->setCommPort(settings.tunnel_com, settings.tunnel_settings);
    ppp->setAddresses(settings.tunnel_localip, settings.tunnel_remoteip);
    VLOG(4) << "Starting PPP deferred engines";
    connect(ppp, &PPPEngine::error, this, &WorkThreadIP::engineError, Qt::QueuedConnection);
    pppLostRoute = connect(ppp, &PPPEngine::pppConnectionLost, this, &WorkThreadIP::restartPPPOnce,
                           Qt::QueuedConnection);
    connect(ppp, &PPPEngine::pppConnectionSuccess, this, &WorkThreadIP::pppOk, Qt::QueuedConnection);
    connect(ppp, &PPPEngine::pppFinished, this, &WorkThreadIP::pppFinished, Qt::QueuedConnection);
    QMetaObject::invokeMethod(ppp, "startPPP", Qt::QueuedConnection);
}

bool WorkThreadIP::startEngine(TunnelCommEngine *engine)
{
    connect(engine, &TunnelCommEngine::engineReady, this, &WorkThreadIP::engineReady);
    connect(engine, &TunnelCommEngine::error, this, &WorkThreadIP::engineError);
    if (engine->startEngine()) {
        engines.append(engine);
        return true;
    }
    engine->terminateEngine();
    engine->deleteLater();
    return false;
}

LineKeepalive WorkThreadIP::lineKeepalive() const
{
    if (settings.mode != TunnelSettings::PPP)
        return LineKeepalive();
    // Every connection of the configuration shares the PPP line.
    int connections = 0;
    if (!settings.data_com.isEmpty() && !settings.data_ip.isEmpty())
        ++connections;
    if (!settings.tm_com.isEmpty() && !settings.tm_ip.isEmpty())
        ++connections;
    for (int i = 0; i < settings.proxy_com.size(); ++i)
        connections += settings.proxy_ctrl.value(i).isEmpty() ? 1 : 2;
    qint32 baud = 0;
    QSerialPort::StopBits stop = QSerialPort::OneStop;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits bits = QSerialPort::Data8;
    if (!parseSerialSettings(settings.tunnel_settings, &baud, &stop, &parity, nullptr, &bits))
        return LineKeepalive();
    const LineKeepalive k =
        keepaliveForLine(LineQueue::bytesPerSecond(baud, int(bits), parity != QSerialPort::NoParity,
                                                   stop == QSerialPort::OneStop ? 1 : 2),
                         connections);
    VLOG(6) << QStringLiteral(
                   "PPP line keep-alive: %1 connections, probes %2 ms apart after %3 ms, window %4")
                   .arg(connections)
                   .arg(k.intervalMs)
                   .arg(k.timeMs)
                   .arg(k.windowBytes);
    return k;
}

void WorkThreadIP::startEngines()
{
    const LineKeepalive keepalive = lineKeepalive();
    if (!settings.data_com.isEmpty() && !settings.data_ip.isEmpty()) {
        auto *engine = new TunnelCommEngine();
        engine->setOwner(this);
        engine->setLineKeepalive(keepalive);
        engine->setCommPort(settings.data_com, settings.data_settings);
        engine->setDataTarget(settings.data_ip);
        if (!startEngine(engine)) {
            emit error(
                tr("Nie można otworzyć portu szeregowego tunelu interfejsu PC: %1").arg(settings.data_com));
            closeAllEngines();
            return;
        }
    }
    if (!settings.tm_com.isEmpty() && !settings.tm_ip.isEmpty()) {
        auto *engine = new TunnelCommEngine();
        engine->setOwner(this);
        engine->setLineKeepalive(keepalive);
        engine->setCommPort(settings.tm_com, settings.tm_settings);
        engine->setDataTarget(settings.tm_ip);
        if (!startEngine(engine)) {
            emit error(
                tr("Nie można otworzyć portu szeregowego monitora transakcji: %1").arg(settings.tm_com));
            closeAllEngines();
            return;
        }
    }
    for (int i = 0; i < settings.proxy_com.size(); ++i) {
        auto *engine = new TunnelCommEngine();
        engine->setOwner(this);
        engine->setLineKeepalive(keepalive);
        engine->setCommPort(settings.proxy_com.at(i), settings.proxy_settings.value(i));
        engine->setDataTarget(settings.proxy_data.value(i));
        engine->setSignalTarget(settings.proxy_ctrl.value(i));
        if (!startEngine(engine)) {
            emit error(tr("Nie można otworzyć portu szeregowego tunelu %1: %2")
                           .arg(i + 1)
                           .arg(settings.proxy_com.at(i)));
            closeAllEngines();
            return;
        }
    }
    VLOG(10) << "Waiting for total of " << engines.size() << " engines to be ready ";
    // With no channel at all there is nothing to wait for: the run counts as
    // up at once instead of staying in Starting for ever.
    if (engines.isEmpty())
        engineReady();
}

void WorkThreadIP::engineReady()
{
    if (finalReported() || currentState != TunnelSettings::Starting)
        return;
    for (TunnelCommEngine *engine : qAsConst(engines)) {
        if (!engine->isReady()) {
            VLOG(10) << "Engine for port " << engine->portName() << " not ready yet ";
            return;
        }
    }
    currentState = TunnelSettings::Running;
    emit stateChanged(settings.uuid, TunnelSettings::Running);
    VLOG(6) << QStringLiteral("Thread for uuid %1 running").arg(settings.uuid.toString());
}

void WorkThreadIP::engineError(QString err)
{
    if (finalReported())
        return;
    VLOG(4) << QStringLiteral("Engine error causes termination: %1").arg(err);
    currentState = TunnelSettings::StoppedError;
    emit error(err);
    closeAllEngines();
}

void WorkThreadIP::closeAllEngines()
{
    VLOG(6) << "Terminating all engines";
    const QVector<TunnelCommEngine *> current = engines;
    engines.clear();
    VLOG(6) << QStringLiteral("%1 engines left to be terminated").arg(current.size());
    for (TunnelCommEngine *engine : current) {
        engine->terminateEngine();
        engine->deleteLater();
    }
    VLOG(4) << "Terminated all engines";
    // Once the session was let go it may be another configuration's.
    if (settings.mode == TunnelSettings::PPP && pppStarted && pppClaimed) {
        VLOG(4) << "Terminating PPP session if active";
        if (PPPEngine *ppp = PPPEngine::processEngine())
            QMetaObject::invokeMethod(ppp, "stopPPP", Qt::QueuedConnection);
    }
}

void WorkThreadIP::releaseShared()
{
    if (!pppClaimed)
        return;
    PPPEngine *ppp = PPPEngine::processEngine();
    // The last stop is queued before the session is let go, so the engine
    // runs it ahead of any start by the next owner.
    if (ppp && pppStarted)
        QMetaObject::invokeMethod(ppp, "stopPPP", Qt::QueuedConnection);
    if (ppp)
        ppp->release(settings.uuid);
    pppClaimed = false;
}

void WorkThreadIP::stopRequested()
{
    VLOG(4) << "Stop requested";
    closeAllEngines();
    if (settings.mode == TunnelSettings::DirectIP)
        emit finished();
    else
        stopPending = true;
}

void WorkThreadIP::pppOk()
{
    // Engines start once, while starting: a link that comes up again within
    // the same session, or after a stop was asked for, starts none.
    if (finalReported() || currentState != TunnelSettings::Starting || pppEnginesStarted)
        return;
    pppEnginesStarted = true;
    VLOG(4) << "PPP started, starting engines";
    switchPPPToErrorMode();
    startEngines();
}

void WorkThreadIP::pppFinished()
{
    if (finalReported())
        return;
    VLOG(6) << "PPP Signalled finished work";
    if (stopPending)
        emit finished();
}

void WorkThreadIP::restartPPPOnce(QString str)
{
    if (finalReported())
        return;
    VLOG(4) << "Single PPP restart requested: " << str;
    switchPPPToErrorMode();
    // A stop asked for meanwhile ends the run at this pppFinished already seen.
    if (stopPending)
        return;
    if (PPPEngine *ppp = PPPEngine::processEngine())
        QMetaObject::invokeMethod(ppp, "startPPP", Qt::QueuedConnection);
}

void WorkThreadIP::switchPPPToErrorMode()
{
    VLOG(10) << "Switch PPP to error mode";
    if (!pppLostRoute)
        return;
    disconnect(pppLostRoute);
    pppLostRoute = QMetaObject::Connection();
    if (PPPEngine *ppp = PPPEngine::processEngine())
        connect(ppp, &PPPEngine::pppConnectionLost, this, &WorkThreadIP::engineError, Qt::QueuedConnection);
}
