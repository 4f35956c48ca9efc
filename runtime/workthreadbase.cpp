#include "runtime/workthreadbase.h"

#include "log/debug_class.h"

#include <QThread>

namespace
{
// A worker's thread only pumps sockets and ports. Qt's glib dispatcher wakes
// itself through an extra descriptor every time a socket or port turns its
// write notifier on or off, which is twice per chunk; the plain Unix
// dispatcher polls the same descriptors without that. The variable is read
// by each new thread as it starts (never by the main thread, whose glib loop
// a desktop theme may need), so it is set once, before the first worker's
// thread exists, and never changed afterwards.
void workerThreadsUsePlainDispatcher()
{
    static const bool set = []() {
        if (qEnvironmentVariableIsEmpty("QT_NO_THREADED_GLIB"))
            qputenv("QT_NO_THREADED_GLIB", "1");
        return true;
    }();
    Q_UNUSED(set)
}
} // namespace

WorkThreadBase::WorkThreadBase() : QObject(nullptr) {}

WorkThreadBase::~WorkThreadBase()
{
    VLOG(6) << QStringLiteral("Destruction of UUID %1").arg(settings.uuid.toString());
}

void WorkThreadBase::signalStart()
{
    currentState = TunnelSettings::Starting;
    emit stateChanged(settings.uuid, TunnelSettings::Starting);
    VLOG(6) << QStringLiteral("Thread for uuid %1 starting").arg(settings.uuid.toString());
    VLOG(6) << settings.dump();

    workerThreadsUsePlainDispatcher();
    workerThread = new QThread();
    moveToThread(workerThread);
    connect(this, &WorkThreadBase::error, this, &WorkThreadBase::errorEnd);
    connect(workerThread, &QThread::started, this, &WorkThreadBase::process);
    connect(this, &WorkThreadBase::finished, this, &WorkThreadBase::finalizeWorkAndCleanup);
    connect(workerThread, &QThread::finished, this, &WorkThreadBase::workerThreadEnded);
    connect(this, &WorkThreadBase::requestStop, this, &WorkThreadBase::stopRequested);
    workerThread->start(QThread::InheritPriority);
}

void WorkThreadBase::signalStop(QUuid uid)
{
    if (uid != settings.uuid || reportedEnd)
        return;
    VLOG(6) << QStringLiteral("Thread for uuid %1 stopping").arg(settings.uuid.toString());
    currentState = TunnelSettings::Stopping;
    emit stateChanged(settings.uuid, TunnelSettings::Stopping);
    emit requestStop();
}

void WorkThreadBase::finalizeWorkAndCleanup()
{
    if (reportedEnd)
        return;
    reportedEnd = true;
    releaseShared();
    workerThread->quit();
    currentState = TunnelSettings::Stopped;
    emit stateChanged(settings.uuid, TunnelSettings::Stopped);
    VLOG(6) << QStringLiteral("Thread for uuid %1 stopped").arg(settings.uuid.toString());
    deleteLater();
}

void WorkThreadBase::errorEnd(QString err)
{
    if (reportedEnd)
        return;
    reportedEnd = true;
    releaseShared();
    workerThread->quit();
    currentState = TunnelSettings::StoppedError;
    emit lastError(settings.uuid, err);
    emit stateChanged(settings.uuid, TunnelSettings::StoppedError);
    VLOG(6) << QStringLiteral("Thread for uuid %1 stopped with error %2").arg(settings.uuid.toString(), err);
    deleteLater();
}

void WorkThreadBase::workerThreadEnded()
{
    VLOG(10) << QStringLiteral("Thread worker for uuid %1 signalled stop. Deleting thread.")
                    .arg(settings.uuid.toString());
    workerThread->deleteLater();
    workerThread = nullptr;
}
