// The port driver through its control library: the daemon it starts, the
// control calls and their errors, and the relay of real pseudo-terminals.
#include "platform/pairrecord.h"
#include "platform/registrystore.h"
#include "platform/systempaths.h"
#include "tests/driver/ptyhelpers.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QProcess>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

using namespace ptytest;

namespace
{
const QString kPorts = PairRecord::portsKey();

struct Port {
    QString name;
    quint32 instance, peer;
};

QList<Port> parseList(const QByteArray &b)
{
    QList<Port> ports;
    int pos = 0;
    auto u32 = [&b](int at) {
        return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8 | quint32(quint8(b[at + 2])) << 16 |
               quint32(quint8(b[at + 3])) << 24;
    };
    while (pos + 4 <= b.size() && u32(pos) != 0) {
        Port p;
        const quint32 offset = u32(pos + 4);
        p.instance = u32(pos + 8);
        p.peer = u32(pos + 12);
        for (int c = pos + int(offset); offset && c + 1 < b.size() && (b[c] || b[c + 1]); c += 2)
            p.name += QChar(ushort(quint8(b[c]) | quint8(b[c + 1]) << 8));
        ports.append(p);
        pos += int(u32(pos));
    }
    return ports;
}
} // namespace

class TestVspd : public QObject
{
    Q_OBJECT

    typedef int (*NameFn)(const char *);
    typedef int (*NameNumberFn)(const char *, quint32);

    TestEnv *m_env = nullptr;
    QLibrary m_lib;
    int (*CreatePair)(const char *, const char *) = nullptr;
    NameFn DeletePair = nullptr;
    NameNumberFn SetStrictBaudrate = nullptr;
    int (*SetBreak)(const char *, int) = nullptr;
    int (*SetWiring)(const char *, const void *, quint32) = nullptr;
    int (*QueryBus)(const void *, quint32, void *, quint32) = nullptr;
    int (*DeleteAll)() = nullptr;
    int (*PortDevicePath)(const char *, char *, quint32) = nullptr;

    QString port(const QString &name) const { return m_env->portsDir() + QLatin1Char('/') + name; }
    qint64 pid() const { return daemonPid(m_env->systemDir()); }

    // The terminal the daemon reports behind an end; empty when it names none.
    QString livePath(const char *name)
    {
        char path[256];
        return PortDevicePath(name, path, sizeof path) ? QString::fromLatin1(path) : QString();
    }

    QStringList portNames(const QByteArray &list)
    {
        QStringList names;
        for (const Port &p : parseList(list))
            names << p.name;
        return names;
    }

    void killDaemon()
    {
        const qint64 old = pid();
        QVERIFY(old > 0);
        QCOMPARE(::kill(pid_t(old), SIGKILL), 0);
        QVERIFY(waitGone(old, 5000));
    }

    QByteArray query(int *error = nullptr, quint32 size = 65536)
    {
        const quint32 request[2] = {8, 1};
        QByteArray out(int(size), '\x55');
        errno = 0;
        const int ok = QueryBus(request, 8, out.data(), size);
        if (error)
            *error = ok ? 0 : errno;
        return ok ? out : QByteArray();
    }

private slots:
    void initTestCase()
    {
        m_env = new TestEnv;
        m_lib.setFileName(TestEnv::binary(QStringLiteral("libvspdctl.so")));
        QVERIFY2(m_lib.load(), qPrintable(m_lib.errorString()));
        CreatePair = reinterpret_cast<decltype(CreatePair)>(m_lib.resolve("CreatePair"));
        DeletePair = reinterpret_cast<NameFn>(m_lib.resolve("DeletePair"));
        SetStrictBaudrate = reinterpret_cast<NameNumberFn>(m_lib.resolve("SetStrictBaudrate"));
        SetBreak = reinterpret_cast<decltype(SetBreak)>(m_lib.resolve("SetBreak"));
        SetWiring = reinterpret_cast<decltype(SetWiring)>(m_lib.resolve("SetWiring"));
        QueryBus = reinterpret_cast<decltype(QueryBus)>(m_lib.resolve("QueryBus"));
        DeleteAll = reinterpret_cast<decltype(DeleteAll)>(m_lib.resolve("DeleteAll"));
        PortDevicePath = reinterpret_cast<decltype(PortDevicePath)>(m_lib.resolve("PortDevicePath"));
        QVERIFY(CreatePair && DeletePair && SetStrictBaudrate && SetBreak && SetWiring && QueryBus &&
                DeleteAll && PortDevicePath);
    }

    void cleanupTestCase()
    {
        if (const qint64 p = pid()) {
            ::kill(pid_t(p), SIGTERM);
            waitGone(p, 5000);
        }
        delete m_env;
    }

    void startsTheDaemonOnDemandAndOnlyOnce()
    {
        QCOMPARE(pid(), 0);
        int leaked[2];
        QCOMPARE(::pipe(leaked), 0); // not close-on-exec: the daemon must still not keep it
        QVERIFY(CreatePair("COM5", ""));
        const qint64 daemon = pid();
        QVERIFY(daemon > 0 && processAlive(daemon));
        auto linkOf = [](const QString &path) {
            char target[256] = {0};
            return ::readlink(QFile::encodeName(path).constData(), target, sizeof target - 1) > 0
                       ? QByteArray(target)
                       : QByteArray();
        };
        const QByteArray pipeName = linkOf(QStringLiteral("/proc/self/fd/%1").arg(leaked[0]));
        QVERIFY(pipeName.startsWith("pipe:"));
        QDir daemonFds(QStringLiteral("/proc/%1/fd").arg(daemon));
        for (const QFileInfo &fd : daemonFds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
            QVERIFY(linkOf(fd.filePath()) != pipeName);
        ::close(leaked[0]);
        ::close(leaked[1]);
        QVERIFY(QFileInfo(port("COM5")).isSymLink());
        QVERIFY(QFileInfo(port("NULL_COM5")).symLinkTarget().startsWith(QStringLiteral("/dev/pts/")));

        // The socket and the ports are private to the daemon's user (root: and the dialout group).
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(m_env->systemDir() + "/vspd/control.sock").constData(), &st), 0);
        const group *dialout = ::getgrnam("dialout");
        if (::geteuid() == 0) {
            QCOMPARE(st.st_mode & 0777, mode_t(0660));
            QCOMPARE(st.st_gid, dialout ? dialout->gr_gid : gid_t(0));
            QCOMPARE(::stat(QFile::encodeName(m_env->portsDir()).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, mode_t(0750));
            QCOMPARE(::stat(QFile::encodeName(QFileInfo(port("COM5")).symLinkTarget()).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, mode_t(0660));
        } else {
            QCOMPARE(st.st_mode & 0777, mode_t(0600));
            QCOMPARE(::stat(QFile::encodeName(m_env->portsDir()).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, mode_t(0700));
        }

        QProcess second;
        second.start(TestEnv::binary(QStringLiteral("vspd")), QStringList());
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains("already serves"));
        QCOMPARE(pid(), daemon);
        QVERIFY(CreatePair("COM6", "COM7")); // the first daemon still answers
    }

    void controlCallsReportWindowsErrors()
    {
        errno = 0;
        QVERIFY(!CreatePair("COM5", ""));
        QCOMPARE(errno, 183);
        QVERIFY(!CreatePair("null_com5", "X")); // names are compared case-insensitively
        QCOMPARE(errno, 183);
        QVERIFY(!CreatePair("COM8", "com8"));
        QCOMPARE(errno, 87);
        const QByteArray longName(65, 'A');
        for (const QByteArray &bad : {QByteArray("a/b"), QByteArray(".."), QByteArray("x..y"),
                                      QByteArray("\x01X"), QByteArray("."), longName}) {
            errno = 0;
            QVERIFY2(!CreatePair(bad.constData(), ""), bad.constData());
            QCOMPARE(errno, 123);
            QVERIFY(!CreatePair("OK1", bad.constData()));
            QCOMPARE(errno, 123);
        }
        QVERIFY(!CreatePair("", "COM4"));
        QCOMPARE(errno, 123);
        QVERIFY(!QFileInfo::exists(m_env->systemDir() + "/b"));
        QVERIFY(CreatePair(QByteArray(64, 'L').constData(), ""));
        QVERIFY(DeletePair(QByteArray(64, 'L').constData()));

        QVERIFY(!DeletePair("COM99"));
        QCOMPARE(errno, 2);
        QVERIFY(!SetStrictBaudrate("COM99", 1));
        QCOMPARE(errno, 2);
        const quint32 mask = 0x10A0;
        QVERIFY(!SetWiring("COM5", &mask, 2));
        QCOMPARE(errno, 87);
        QVERIFY(SetWiring("NULL_COM5", &mask, 4));
        QVERIFY(SetBreak("COM5", 1));
        QVERIFY(!SetBreak("COM99", 1));
        QCOMPARE(errno, 2);

        // A file in the ports folder that is not one of our links is never replaced.
        QFile foreign(port("COM9"));
        QVERIFY(foreign.open(QIODevice::WriteOnly));
        foreign.write("mine");
        foreign.close();
        QVERIFY(!CreatePair("COM9", ""));
        QCOMPARE(errno, 183);
        QVERIFY(!QFileInfo::exists(port("NULL_COM9")));
        QVERIFY(foreign.open(QIODevice::ReadOnly));
        QCOMPARE(foreign.readAll(), QByteArray("mine"));
        foreign.remove();
    }

    void queryBusAnswersTheDesignedLayout()
    {
        int error = 0;
        const QByteArray list = query(&error);
        QCOMPARE(error, 0);
        const QList<Port> ports = parseList(list);
        QCOMPARE(ports.size(), 4);
        QStringList names;
        for (const Port &p : ports) {
            names << p.name;
            bool partner = false;
            for (const Port &q : ports)
                partner = partner || (q.instance == p.peer && q.peer == p.instance);
            QVERIFY(partner);
        }
        QCOMPARE(names, (QStringList{"COM5", "NULL_COM5", "COM6", "COM7"}));
        // Byte by byte: length, name offset 16, instance, partner, UTF-16LE name with its NUL, padding.
        QCOMPARE(list.mid(0, 8), QByteArray::fromHex("1c00000010000000"));
        QCOMPARE(list.mid(16, 12), QByteArray::fromHex("43004f004d0035000000 0000"));
        int size = 0;
        for (int i = 0; i < 4; ++i)
            size += int(quint8(list[size]));
        QCOMPARE(list.mid(size, 4), QByteArray(4, '\0'));

        // Exactly big enough works; one byte less asks for more room.
        query(&error, quint32(size + 4));
        QCOMPARE(error, 0);
        query(&error, quint32(size + 3));
        QCOMPARE(error, 122);
        const quint32 wrong[2] = {8, 2};
        QByteArray out(64, '\0');
        QVERIFY(!QueryBus(wrong, 8, out.data(), 64));
        QCOMPARE(errno, 87);
    }

    void tenMebibytesBothWaysArriveExactly()
    {
        const int a = openRaw(port("COM5"));
        const int b = openRaw(port("NULL_COM5"));
        QVERIFY(a >= 0 && b >= 0);
        const int n = 10 * 1024 * 1024;
        const QByteArray ab = randomBytes(n, 1), ba = randomBytes(n, 2);
        QByteArray gotAtB, gotAtA;
        bool wroteA = false, wroteB = false;
        std::thread wa([&] { wroteA = writeAll(a, ab); });
        std::thread wb([&] { wroteB = writeAll(b, ba); });
        std::thread rb([&] { gotAtB = readUpTo(b, n); });
        gotAtA = readUpTo(a, n);
        wa.join();
        wb.join();
        rb.join();
        QVERIFY(wroteA && wroteB);
        QCOMPARE(gotAtB.size(), n);
        QCOMPARE(gotAtA.size(), n);
        QVERIFY(gotAtB == ab);
        QVERIFY(gotAtA == ba);
        ::close(a);
        ::close(b);
    }

    void aSlowReaderSlowsTheWriterDown()
    {
        const int a = openRaw(port("COM6"));
        const int b = openRaw(port("COM7"));
        const int n = 2 * 1024 * 1024;
        const QByteArray data = randomBytes(n, 3);
        bool wrote = false;
        std::thread w([&] { wrote = writeAll(a, data); });
        QByteArray got;
        char buf[512];
        while (got.size() < n && readable(b, 3000)) {
            const ssize_t r = ::read(b, buf, sizeof buf);
            if (r <= 0)
                break;
            got.append(buf, int(r));
            if (got.size() % 8192 < 512)
                ::usleep(1000);
        }
        w.join();
        QVERIFY(wrote);
        QCOMPARE(got.size(), n);
        QVERIFY(got == data);
        ::close(a);
        ::close(b);
    }

    void anEndNobodyHasOpenDropsWhatArrives()
    {
        const int a = openRaw(port("COM5"));
        ::fcntl(a, F_SETFL, O_NONBLOCK);
        // Nobody at NULL_COM5: a megabyte goes out without the writer ever blocking.
        const QByteArray stale = randomBytes(1024 * 1024, 4);
        QVERIFY(writeAll(a, stale));
        ::usleep(100000);
        const int b = openRaw(port("NULL_COM5"));
        QVERIFY(!readable(b, 300));
        QVERIFY(writeAll(a, "fresh"));
        QCOMPARE(readUpTo(b, 5, 2000), QByteArray("fresh"));
        // Bytes queued for an end that closes before reading them are gone when it is opened again.
        QVERIFY(writeAll(a, QByteArray(3000, 'x')));
        ::usleep(100000);
        ::close(b);
        ::usleep(100000);
        const int b2 = openRaw(port("NULL_COM5"));
        QVERIFY(!readable(b2, 300));
        QVERIFY(writeAll(a, "again"));
        QCOMPARE(readUpTo(b2, 5, 2000), QByteArray("again"));
        ::close(b2);
        // A user that claimed the end exclusively and died leaves no claim behind.
        const int c = openRaw(port("NULL_COM5"));
        QCOMPARE(::ioctl(c, TIOCEXCL), 0);
        ::close(c);
        ::usleep(100000);
        const int d = openRaw(port("NULL_COM5"));
        int exclusive = -1;
        QCOMPARE(::ioctl(d, TIOCGEXCL, &exclusive), 0);
        QCOMPARE(exclusive, 0);
        ::close(d);
        ::close(a);
    }

    void anEndStaysOpenWhileAnyUserHasIt()
    {
        const int a = openRaw(port("COM5"));
        // Two opens in a row (the kernel may merge their events), then one of them closes.
        const int b1 = openRaw(port("NULL_COM5"));
        const int b2 = openRaw(port("NULL_COM5"));
        ::close(b1);
        ::usleep(100000);
        QVERIFY(writeAll(a, "still here"));
        QCOMPARE(readUpTo(b2, 10, 2000), QByteArray("still here"));
        // A user that inherited the end keeps it open after its parent closed it.
        const pid_t child = ::fork();
        if (child == 0) {
            char buf[16];
            const ssize_t n = ::read(b2, buf, sizeof buf);
            ::_exit(n == 5 && std::memcmp(buf, "child", 5) == 0 ? 0 : 1);
        }
        ::close(b2);
        ::usleep(100000);
        QVERIFY(writeAll(a, "child"));
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ::close(a);
    }

    void anIdlePairCostsNoCpu()
    {
        // Both ends have been opened and closed; then one end stays open alone.
        const int a = openRaw(port("COM6"));
        QVERIFY(a >= 0);
        ::usleep(100000);
        const qint64 before = cpuTicks(pid());
        ::usleep(600000);
        const qint64 after = cpuTicks(pid());
        QVERIFY2(after - before <= 1, qPrintable(QString::number(after - before)));
        ::close(a);
        ::usleep(100000);
        const qint64 closedBefore = cpuTicks(pid());
        ::usleep(600000);
        QVERIFY(cpuTicks(pid()) - closedBefore <= 1);
    }

    void aHungUpEndNeitherSpinsNorDies()
    {
        // A program that makes the port its controlling terminal and hangs it up (as getty does).
        const pid_t child = ::fork();
        if (child == 0) {
            ::signal(SIGHUP, SIG_IGN);
            ::setsid();
            const int fd = ::open(QFile::encodeName(port("COM6")).constData(), O_RDWR);
            ::_exit(fd >= 0 && ::vhangup() == 0 ? 0 : 1);
        }
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            QSKIP("needs root: hanging up a terminal needs CAP_SYS_TTY_CONFIG");
        ::usleep(100000);
        const qint64 before = cpuTicks(pid());
        ::usleep(500000);
        QVERIFY(cpuTicks(pid()) - before <= 1);
        const int a = openRaw(port("COM6"));
        const int b = openRaw(port("COM7"));
        QVERIFY(writeAll(a, "after"));
        QCOMPARE(readUpTo(b, 5, 2000), QByteArray("after"));
        QVERIFY(writeAll(b, "back"));
        QCOMPARE(readUpTo(a, 4, 2000), QByteArray("back"));
        ::close(a);
        ::close(b);
    }

    void strictBaudRatePacesTheSender()
    {
        QVERIFY(SetStrictBaudrate("COM6", 1));
        const int a = openRaw(port("COM6"), B1200); // 120 bytes a second
        const int b = openRaw(port("COM7"), B1200);
        const QByteArray data = randomBytes(60, 5);
        QVERIFY(writeAll(a, data));
        ::usleep(150000);
        char early[100];
        ::fcntl(b, F_SETFL, O_NONBLOCK);
        const ssize_t r = ::read(b, early, sizeof early);
        QVERIFY2(r > 0 && r < 50, qPrintable(QString::number(r)));
        ::fcntl(b, F_SETFL, 0);
        QByteArray got = QByteArray(early, int(r)) + readUpTo(b, 60 - r, 2000);
        QVERIFY(got == data);

        QVERIFY(SetStrictBaudrate("COM7", 0)); // either name switches the pair
        const QByteArray bulk = randomBytes(200000, 6);
        QByteArray got2;
        std::thread reader([&] { got2 = readUpTo(b, bulk.size(), 2000); });
        QVERIFY(writeAll(a, bulk));
        reader.join();
        QVERIFY(got2 == bulk);
        ::close(a);
        ::close(b);
    }

    void sigtermKeepsThePairsForTheNextStart()
    {
        RegistryStore store(m_env->systemDir());
        QCOMPARE(store.subKeys(kPorts), (QStringList{"COM5", "COM6COM7"}));
        RegistryStore::Value wiring;
        QCOMPARE(store.value(kPorts + "\\COM5", "Wiring", &wiring), 0L);
        QCOMPARE(wiring.data, QByteArray::fromHex("a0100000")); // set through NULL_COM5 above
        // A record the program wrote, in the layout both sides share, is a pair at the next start.
        PairRecord written;
        written.port1 = QStringLiteral("COM20");
        written.port2 = QStringLiteral("COM21");
        written.strict = true;
        written.wiring = 0x10A0;
        QCOMPARE(written.write(store), 0L);
        const qint64 old = pid();
        QCOMPARE(::kill(pid_t(old), SIGTERM), 0);
        QVERIFY(waitGone(old, 5000));
        QVERIFY(!QFileInfo(port("COM5")).isSymLink());
        QCOMPARE(store.subKeys(kPorts), (QStringList{"COM5", "COM6COM7", "COM20COM21"}));

        const QList<Port> ports = parseList(query());
        QCOMPARE(ports.size(), 6);
        const int c = openRaw(port("COM21"));
        const int d = openRaw(port("COM20"));
        QVERIFY(writeAll(c, "rec"));
        QCOMPARE(readUpTo(d, 3, 2000), QByteArray("rec"));
        ::close(c);
        ::close(d);
        QVERIFY(SetStrictBaudrate("COM21", 0));
        PairRecord read;
        QCOMPARE(PairRecord::read(store, QStringLiteral("COM20COM21"), &read), 0L);
        QVERIFY(!read.strict);
        QCOMPARE(read.wiring, 0x10A0u);
        // A record removed by hand is not brought back in part by a later setting.
        store.deleteTree(PairRecord::keyOf(QStringLiteral("COM20COM21")));
        QVERIFY(SetWiring("COM20", &read.wiring, 4));
        QVERIFY(!store.keyExists(PairRecord::keyOf(QStringLiteral("COM20COM21"))));
        QVERIFY(DeletePair("COM20"));
        QVERIFY(pid() != old && processAlive(pid()));
        QVERIFY(QFileInfo(port("COM5")).isSymLink());
        QVERIFY(QFileInfo(port("COM7")).isSymLink());
        const int a = openRaw(port("COM7"));
        const int b = openRaw(port("COM6"));
        QVERIFY(writeAll(a, "back"));
        QCOMPARE(readUpTo(b, 4, 2000), QByteArray("back"));
        ::close(a);
        ::close(b);
    }

    void hundredsOfPairs()
    {
        for (int i = 0; i < 250; ++i)
            QVERIFY(CreatePair(qPrintable(QStringLiteral("MANY%1").arg(i)), ""));
        int error = 0;
        query(&error, 4096);
        QCOMPARE(error, 122);
        QCOMPARE(parseList(query(&error, 1 << 20)).size(), 4 + 500);
        const int a = openRaw(port("MANY249"));
        const int b = openRaw(port("NULL_MANY249"));
        QVERIFY(writeAll(b, "last"));
        QCOMPARE(readUpTo(a, 4, 2000), QByteArray("last"));
        ::close(a);
        ::close(b);
    }

    void deleteRemovesPairsLinksAndRecords()
    {
        RegistryStore store(m_env->systemDir());
        QVERIFY(DeletePair("com7"));
        QVERIFY(!QFileInfo(port("COM6")).isSymLink());
        QCOMPARE(store.subKeys(kPorts).size(), 251);
        QVERIFY(CreatePair("COM1", "COM2"));
        QVERIFY(DeleteAll());
        QCOMPARE(parseList(query()).size(), 0);
        QCOMPARE(query().left(4), QByteArray(4, '\0'));
        QVERIFY(store.subKeys(kPorts).isEmpty());
        QVERIFY(QDir(m_env->portsDir())
                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                    .isEmpty());
    }

    void removingItsFolderEndsTheDaemon()
    {
        QVERIFY(CreatePair("COM5", ""));
        const qint64 daemon = pid();
        QVERIFY(QDir(m_env->systemDir() + QStringLiteral("/vspd")).removeRecursively());
        QVERIFY(waitGone(daemon, 3000));
        QVERIFY(!QFileInfo(port("COM5")).isSymLink());
        RegistryStore store(m_env->systemDir());
        QCOMPARE(store.subKeys(kPorts), QStringList{"COM5"});
    }

    void namesWithNonAsciiLettersAreOneName()
    {
        // \xe9 and \xc9 are the small and the capital e with acute accent in Latin-1.
        QVERIFY(CreatePair("\xe9X", ""));
        QVERIFY(!CreatePair("\xe9X", ""));
        QCOMPARE(errno, 183);
        QVERIFY(!CreatePair("\xc9x", "OTHER"));
        QCOMPARE(errno, 183);
        QVERIFY(!CreatePair("OTHER", "null_\xc9x"));
        QCOMPARE(errno, 183);
        QVERIFY(!CreatePair("\xc9ZZ", "\xe9zz"));
        QCOMPARE(errno, 87);
        QCOMPARE(portNames(query()).filter(QString::fromLatin1("\xe9X")).size(), 2);
        RegistryStore store(m_env->systemDir());
        QVERIFY(store.subKeys(kPorts).contains(QString::fromLatin1("\xc9X")));
        const QString terminal = livePath("\xc9x");
        QVERIFY(terminal.startsWith(QStringLiteral("/dev/pts/")));
        QCOMPARE(QFileInfo(port(QString::fromLatin1("\xe9X"))).symLinkTarget(), terminal);
        QCOMPARE(livePath("NULL_\xe9x"), QFileInfo(port(QString::fromLatin1("NULL_\xe9X"))).symLinkTarget());
        QVERIFY(SetStrictBaudrate("\xc9X", 1));

        QVERIFY(DeletePair("\xc9X"));
        QVERIFY(!QFileInfo(port(QString::fromLatin1("\xe9X"))).isSymLink());
        QVERIFY(!store.subKeys(kPorts).contains(QString::fromLatin1("\xc9X")));
        QVERIFY(!DeletePair("\xe9X"));
        QCOMPARE(errno, 2);
        QVERIFY(livePath("\xe9X").isEmpty());
        QCOMPARE(errno, 2);
    }

    void aKilledDaemonsLinksNeverLeadToAForeignTerminal()
    {
        QVERIFY(CreatePair("KEEP", ""));
        QVERIFY(CreatePair("GONE", "GONE2"));
        const QString oldGone = QFileInfo(port("GONE")).symLinkTarget();
        QVERIFY(oldGone.startsWith(QStringLiteral("/dev/pts/")));
        // Things in the ports folder the daemon never made.
        QFile note(port("NOTE"));
        QVERIFY(note.open(QIODevice::WriteOnly));
        note.close();
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), port("NULLDEV")));
        killDaemon();
        // The pair's record goes while no daemon runs; its links stay behind, and its terminal number
        // goes to a program of somebody else.
        RegistryStore store(m_env->systemDir());
        store.deleteTree(kPorts + QStringLiteral("\\GONEGONE2"));
        QVERIFY(QFileInfo(port("GONE")).isSymLink());
        const int foreign = terminalAt(oldGone);
        if (foreign < 0)
            QSKIP("another program took the terminal number meanwhile");

        QVERIFY(livePath("GONE").isEmpty()); // starts the daemon
        QCOMPARE(errno, 2);
        QVERIFY(pid() > 0);
        QVERIFY(!QFileInfo(port("GONE")).isSymLink());
        QVERIFY(!QFileInfo(port("GONE2")).isSymLink());
        QCOMPARE(portNames(query()), (QStringList{"COM5", "NULL_COM5", "KEEP", "NULL_KEEP"}));
        for (const char *name : {"COM5", "NULL_COM5", "KEEP", "NULL_KEEP"}) {
            const QString target = QFileInfo(port(QString::fromLatin1(name))).symLinkTarget();
            QCOMPARE(target, livePath(name));
            QVERIFY(target != oldGone);
        }
        QVERIFY(QFileInfo(port("NOTE")).isFile());
        QCOMPARE(QFileInfo(port("NULLDEV")).symLinkTarget(), QStringLiteral("/dev/null"));
        QVERIFY(QFile::remove(port("NOTE")) && QFile::remove(port("NULLDEV")));
        // The foreign terminal never saw a byte of the ports.
        const int keep = openRaw(port("KEEP"));
        const int nullKeep = openRaw(port("NULL_KEEP"));
        QVERIFY(writeAll(keep, "to the peer"));
        QCOMPARE(readUpTo(nullKeep, 11, 2000), QByteArray("to the peer"));
        QVERIFY(!readable(foreign, 100));
        ::close(keep);
        ::close(nullKeep);
        ::close(foreign);
    }

    void aPortReopenedDuringARestartCarriesBytes()
    {
        // The program at the user's end retries its open in a tight loop while the daemon is away. Until the
        // new daemon has removed the old links they lead to terminal numbers the killed one freed, so an open
        // may get a terminal another program was given meanwhile: no daemon can prevent that, and the test
        // only counts it. Any terminal of the daemon it opens must be its own end, counted as open.
        // VELMORA_RESTART_ROUNDS runs more restarts (slow races show only now and then).
        const int rounds = qEnvironmentVariableIsSet("VELMORA_RESTART_ROUNDS")
                               ? qEnvironmentVariableIntValue("VELMORA_RESTART_ROUNDS")
                               : 8;
        const QList<QByteArray> names{"R0", "R1", "R2"};
        for (const QByteArray &n : names)
            QVERIFY(CreatePair(n.constData(), ""));
        int own = 0, foreign = 0, ownByPath = 0, shared = 0;
        for (int round = 0; round < rounds; ++round) {
            // A program that kept the terminal's path retries it; the new daemon tends to get the same
            // numbers.
            QList<QByteArray> oldPaths;
            for (const QByteArray &n : names)
                oldPaths.append(livePath(n.constData()).toLatin1());
            killDaemon();
            // Written by the openers while this thread watches them.
            std::vector<std::atomic<int>> user(size_t(names.size() * 2));
            for (std::atomic<int> &u : user)
                u = -1;
            std::atomic<bool> give_up{false};
            QVector<std::thread *> openers;
            for (int i = 0; i < names.size(); ++i) {
                const QByteArray path = QFile::encodeName(port(QString::fromLatin1(names[i])));
                const QByteArray oldPath = oldPaths[i];
                const int j = i + names.size();
                openers.append(new std::thread([&user, &give_up, path, i] {
                    while (!give_up.load() &&
                           (user[i] = ::open(path.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
                    }
                }));
                openers.append(new std::thread([&user, &give_up, oldPath, j] {
                    while (!give_up.load() &&
                           (user[j] = ::open(oldPath.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
                    }
                }));
            }
            const QByteArray list = query(); // starts the daemon
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            // The links are back once the daemon answers; an old number may never be given again.
            const auto anyClosed = [&user, &names] {
                return std::any_of(user.begin(), user.begin() + names.size(),
                                   [](const std::atomic<int> &u) { return u < 0; });
            };
            while (std::chrono::steady_clock::now() < deadline && anyClosed())
                ::usleep(1000);
            give_up = true;
            for (std::thread *t : openers) {
                t->join();
                delete t;
            }
            QVERIFY(!list.isEmpty());
            // Every terminal the new daemon holds, by device number, and the end it belongs to.
            QMap<quint64, QString> ends;
            for (const QString &name : portNames(list)) {
                struct stat st;
                const QString path = livePath(name.toLatin1().constData());
                QVERIFY2(::stat(QFile::encodeName(path).constData(), &st) == 0, qPrintable(name));
                ends.insert(quint64(st.st_rdev), name);
            }
            for (int i = 0; i < names.size(); ++i) {
                QVERIFY2(user[i] >= 0, names[i].constData());
                struct stat st;
                QCOMPARE(::fstat(user[i], &st), 0);
                // A terminal that is gone has no name any more, though its number may be given again.
                const QString end = st.st_nlink > 0 ? ends.value(quint64(st.st_rdev)) : QString();
                if (end.isEmpty()) {
                    ++foreign;
                    ::close(user[i]);
                    user[i] = openRaw(port(QString::fromLatin1(names[i])));
                    QVERIFY(user[i] >= 0 && ::fstat(user[i], &st) == 0);
                    QCOMPARE(ends.value(quint64(st.st_rdev)), QString::fromLatin1(names[i]));
                } else {
                    QCOMPARE(end, QString::fromLatin1(names[i]));
                    ++own;
                }
                // The old path may lead to this end, to another of the daemon's, or to another program's.
                QList<int> users{user[i]};
                const int kept = user[i + names.size()];
                if (kept >= 0 && ::fstat(kept, &st) == 0 && st.st_nlink > 0 &&
                    ends.value(quint64(st.st_rdev)) == QString::fromLatin1(names[i])) {
                    users.append(kept);
                    ++ownByPath;
                } else if (kept >= 0) {
                    ::close(kept);
                }
                const int engine = openRaw(port(QString::fromLatin1("NULL_" + names[i])));
                for (int u : users) {
                    const QByteArray message = names[i] + " round " + QByteArray::number(round);
                    QVERIFY(writeAll(engine, message));
                    const QByteArray there = readUpTo(u, message.size(), 3000);
                    QVERIFY(writeAll(u, "back"));
                    const QByteArray back = readUpTo(engine, 4, 3000);
                    ::close(u);
                    if (there == message && back == "back")
                        continue;
                    // Another program that opened our terminal by a number its own killed daemon had (it
                    // retries like ours) reads and writes beside us: nothing of the daemon's.
                    const qint64 daemon = pid();
                    const bool others =
                        !otherHolders(livePath(names[i].constData()).toLatin1(), daemon).isEmpty() ||
                        !otherHolders(livePath(("NULL_" + names[i]).constData()).toLatin1(), daemon)
                             .isEmpty();
                    QVERIFY2(others,
                             qPrintable(QStringLiteral("%1 round %2 (%3): %4 arrived, %5 came back, and "
                                                       "no other program has the ends")
                                            .arg(QString::fromLatin1(names[i]))
                                            .arg(round)
                                            .arg(u == user[i] ? "link" : "old path")
                                            .arg(QString::fromLatin1(there.toHex()))
                                            .arg(QString::fromLatin1(back.toHex()))));
                    ++shared;
                }
                ::close(engine);
            }
        }
        qDebug("ends opened during a restart: %d own through the link, %d other terminals, %d own through "
               "the old path; %d shared with another program",
               own, foreign, ownByPath, shared);
        QVERIFY(own > 0);
    }

    void silentClientsLockNobodyOut()
    {
        const QByteArray socketPath = QFile::encodeName(m_env->systemDir() + "/vspd/control.sock");
        auto connectToDaemon = [&socketPath] {
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::memcpy(addr.sun_path, socketPath.constData(), size_t(socketPath.size()) + 1);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
                ::close(fd);
                return -1;
            }
            return fd;
        };
        // More connections than the daemon keeps, each a request that never ends.
        QVector<int> silent;
        for (int i = 0; i < 300; ++i) {
            silent.append(connectToDaemon());
            QVERIFY(silent.last() >= 0);
            if (i % 2)
                QCOMPARE(::write(silent.last(), "\x10\0\0\0", 4), ssize_t(4));
        }
        QVERIFY(CreatePair("BUSY", ""));
        QVERIFY(DeletePair("BUSY"));
        // Every silent client is sent away after its deadline (this bound only catches a hang).
        for (int fd : silent) {
            pollfd p{fd, POLLIN, 0};
            QCOMPARE(::poll(&p, 1, 30000), 1);
            char byte;
            QCOMPARE(::read(fd, &byte, 1), ssize_t(0));
            ::close(fd);
        }
    }

    void aRootDaemonKeepsItsPortsInAFolderOfItsOwn()
    {
        QProcess help;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("VELMORA_PORTS_DIR"));
        help.setProcessEnvironment(env);
        help.start(TestEnv::binary(QStringLiteral("vspd")), {QStringLiteral("--help")});
        QVERIFY(help.waitForFinished(5000));
        QCOMPARE(help.exitCode(), 0);
        const QString text = QString::fromLocal8Bit(help.readAllStandardError());
        const QString expected =
            ::geteuid() == 0 ? QStringLiteral("/dev/velmora") : m_env->systemDir() + QStringLiteral("/ports");
        QVERIFY2(text.contains(QStringLiteral("ports in %1\n").arg(expected)), qPrintable(text));
        // The program looks for the ports where the driver puts them.
        const QByteArray saved = qgetenv("VELMORA_PORTS_DIR");
        qunsetenv("VELMORA_PORTS_DIR");
        const QString programs = SystemPaths::portsFolder();
        qputenv("VELMORA_PORTS_DIR", saved);
        QCOMPARE(programs, expected);
    }
};

QTEST_GUILESS_MAIN(TestVspd)
#include "tst_vspd.moc"
