// Runs one direct-IP configuration with a single channel in a process of its
// own, the way the application's worker runs it: tunnel_bench_engine PORT
// HOST:PORT. Prints "RUNNING" once the worker reports Running and runs until
// SIGTERM.
#include "config/tunnelsettings.h"
#include "log/debug_class.h"
#include "ports/vspinterface.h"
#include "runtime/tunnelcommengine.h"
#include "runtime/workthreadip.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
int g_signalPipe[2];
void onSignal(int)
{
    const char c = 1;
    (void)!::write(g_signalPipe[1], &c, 1);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT HOST:PORT [logfolder]\n", argv[0]);
        return 2;
    }
    registerTunnelSettingsMetaTypes();
    // Logging as a user's installation has it: a file, level 0.
    CGlobalDebugFileHandler *log = CGlobalDebugFileHandler::instance();
    log->setConsole(0);
    log->setLevel(0);
    if (argc > 3)
        log->start(QString::fromLocal8Bit(argv[3]));

    VSPInterface vsp;
    if (vsp.initLibrary())
        TunnelCommEngine::setVSPInterface(&vsp);

    (void)!::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe);
    std::signal(SIGTERM, onSignal);
    QSocketNotifier stopNotifier(g_signalPipe[0], QSocketNotifier::Read);

    TunnelSettings settings;
    settings.uuid = QUuid::createUuid();
    settings.data_com = QString::fromLocal8Bit(argv[1]);
    settings.data_settings = QStringLiteral("115200,8,N,1,N/NO/NS");
    settings.data_ip = QString::fromLocal8Bit(argv[2]);

    auto *worker = new WorkThreadIP();
    worker->setSettings(settings);
    bool ended = false;
    QObject::connect(
        worker, &WorkThreadBase::stateChanged, &app,
        [&](QUuid, TunnelSettings::TunnelState s) {
            if (s == TunnelSettings::Running) {
                std::printf("RUNNING\n");
                std::fflush(stdout);
            } else if (s == TunnelSettings::Stopped || s == TunnelSettings::StoppedError) {
                ended = true;
                // Let the worker's thread wind down before leaving.
                QTimer::singleShot(200, &app, &QCoreApplication::quit);
            }
        },
        Qt::QueuedConnection);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&]() {
        stopNotifier.setEnabled(false);
        QMetaObject::invokeMethod(worker, "signalStop", Qt::QueuedConnection, Q_ARG(QUuid, settings.uuid));
    });
    worker->signalStart();
    const int rc = app.exec();
    TunnelCommEngine::setVSPInterface(nullptr);
    return ended ? rc : 1;
}
