// Time from startDetect to "found" (the "Znaleziono" progress) and to "Done" when the simulated
// device answers on the 1st, 4th and 24th combination of its port, and of a configuration (four
// writes, no restart, no port change), each beside the machines' own waits: every opening sleeps
// 1000 ms, a silent combination costs five 200 ms waits with 200 ms steps between, a read-out request
// 210 ms, a write 400 ms, the restart and PC-interface steps 2000 ms each.
#include "bench/support/simulatorprocess.h"
#include "wizard/tavrelcmloader.h"
#include "wizard/tavreldevicecomm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace
{
struct Run {
    qint64 found = -1;
    qint64 done = -1;
    bool failed = false;
};

// Runs the event loop until the worker's final report; times the "found" progress on the way.
Run waitEnd(TavrelDeviceComm &comm, QElapsedTimer &clock)
{
    Run run;
    bool ended = false;
    QObject context;
    QObject::connect(&comm, &TavrelDeviceComm::progressEvent, &context, [&](double, const QString &m) {
        if (m.startsWith(QLatin1String("Znaleziono")))
            run.found = clock.elapsed();
    });
    QObject::connect(&comm, &TavrelDeviceComm::deviceReady, &context, [&](const QString &) {
        run.done = clock.elapsed();
        ended = true;
    });
    QObject::connect(&comm, &TavrelDeviceComm::errorDetected, &context, [&](long, const QString &m) {
        std::printf("  error: %s\n", qPrintable(m));
        run.failed = ended = true;
    });
    while (!ended && clock.elapsed() < 300000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return run;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir scratch;
    const QString bin = QCoreApplication::applicationDirPath();
    for (const char *var :
         {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME", "VELMORA_SYSTEM_DIR", "VELMORA_PORTS_DIR"})
        qputenv(var, QFile::encodeName(scratch.path() + QLatin1Char('/') + QLatin1String(var)));
    qputenv("VELMORA_VARNOK", QFile::encodeName(bin + QStringLiteral("/libvarnok.so")));
    TavrelCMLoader loader;
    if (loader.Load() != 1) {
        std::fprintf(stderr, "libvarnok.so not loaded\n");
        return 1;
    }

    struct Case {
        int n;
        const char *line;
    };
    std::printf("%-26s %10s %10s %10s %10s\n", "device on", "found ms", "design", "Done ms", "design");
    for (const Case c : {Case{1, "sp=9600\nfl=1"}, Case{4, "sp=115200\nfl=1"}, Case{24, "sp=1200\nfl=0"}}) {
        const QString profile = scratch.filePath(QStringLiteral("profile%1.ini").arg(c.n));
        QFile f(profile);
        f.open(QIODevice::WriteOnly);
        f.write(QStringLiteral("[device]\nport=ttyTVBENCH%1\nlink=COM1\nrestart_after=\n[com1]\n%2\n")
                    .arg(c.n)
                    .arg(QLatin1String(c.line))
                    .toUtf8());
        f.close();
        SimulatorProcess sim;
        if (!sim.start(profile)) {
            std::fprintf(stderr, "simulator did not start\n");
            return 1;
        }
        TavrelDeviceComm comm;
        comm.setLoader(&loader);
        comm.startWorker();
        QElapsedTimer clock;
        clock.start();
        comm.startDetect(sim.port, QString(), false);
        const Run detect = waitEnd(comm, clock);
        const qint64 designFound = qint64(c.n - 1) * 3200 + 1400;
        std::printf("combination %-14d %10lld %10lld %10lld %10lld\n", c.n, detect.found, designFound,
                    detect.done, designFound + 1480);
        if (detect.failed)
            return 1;
        if (c.n == 4) {
            TavrelWriteSettings s;
            s.com2Settings = QStringLiteral("9600,8,N,1,N");
            s.trlog = true;
            s.deviceIp = QStringLiteral("10.1.2.3");
            s.gateway = QStringLiteral("10.1.2.1");
            s.netmask = QStringLiteral("255.255.255.0");
            clock.restart();
            comm.startConfig(s);
            const Run config = waitEnd(comm, clock);
            std::printf("%-26s %10s %10s %10lld %10d\n", "configuration, 4 writes", "", "", config.done,
                        4 * 400 + 4010);
            if (config.failed)
                return 1;
        }
        comm.stopWorker();
    }
    return 0;
}
