// TavrelCMLoader: a missing library, a library missing one function, then the real one; loading twice
// and unloading.
#include "tests/support/logcapture.h"
#include "tests/support/testenv.h"
#include "wizard/tavrelcmloader.h"

#include <QFile>
#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// What a call printed on standard output.
template <typename F> QByteArray stdoutOf(F call)
{
    fflush(stdout);
    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK) != 0)
        return "pipe failed";
    const int saved = dup(1);
    dup2(pipeFds[1], 1);
    call();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(pipeFds[1]);
    QByteArray out;
    char buf[512];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0)
        out.append(buf, int(n));
    close(pipeFds[0]);
    return out;
}

} // namespace

class TestTavrelCMLoader : public QObject
{
    Q_OBJECT

private slots:
    void loadsOnlyACompleteLibrary()
    {
        LogCapture log;
        TavrelCMLoader loader;
        int result = -1;

        qputenv("VELMORA_VARNOK", "/nonexistent/libvarnok.so");
        QCOMPARE(stdoutOf([&] { result = loader.Load(); }), QByteArray());
        QCOMPARE(result, 0);
        QVERIFY(!loader.isLoaded());

        qputenv("VELMORA_VARNOK", QFile::encodeName(TestEnv::binary(QStringLiteral("libfakevarnok.so"))));
        QCOMPARE(stdoutOf([&] { result = loader.Load(); }), QByteArray("Error importing: VNK_GetEvent\n"));
        QCOMPARE(result, 0);
        QVERIFY(!loader.isLoaded());
        // Nothing of the refused library stays reachable.
        QVERIFY(!loader.VNK_CreateDeviceHandle);
        QVERIFY(!loader.VNK_GetLibraryVersion);
        QVERIFY(!log.contains(QStringLiteral("version: 9.8.7")));

        qputenv("VELMORA_VARNOK", QFile::encodeName(TestEnv::binary(QStringLiteral("libvarnok.so"))));
        QCOMPARE(stdoutOf([&] { result = loader.Load(); }), QByteArray());
        QCOMPARE(result, 1);
        QVERIFY(loader.isLoaded());
        QVERIFY(loader.VNK_GetRequestState && loader.VNK_CreateDeviceHandle);
        QCOMPARE(log.count(QStringLiteral("libvarnok.so version: 1.0.3")), 1);
        QCOMPARE(loader.Load(), 1); // at once, no second load
        QCOMPARE(log.count(QStringLiteral("libvarnok.so version: ")), 1);
        loader.unload();
        QVERIFY(!loader.isLoaded());
        QVERIFY(!loader.VNK_OpenDevice);
        qunsetenv("VELMORA_VARNOK");
    }
};

QTEST_GUILESS_MAIN(TestTavrelCMLoader)
#include "tst_tavrelcmloader.moc"
