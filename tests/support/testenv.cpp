#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <csignal>

namespace
{
// Running and not yet a zombie (a zombie may wait long for a reaper).
bool isAlive(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.size() > close + 2 && text.at(close + 2) != 'Z';
}

const char *const kVars[5] = {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME", "VELMORA_SYSTEM_DIR",
                              "VELMORA_PORTS_DIR"};
} // namespace

bool TestEnv::logToConsole()
{
    return qEnvironmentVariableIsSet("VELMORA_TEST_LOG_CONSOLE");
}

TestEnv::TestEnv()
{
    for (int i = 0; i < 5; ++i)
        m_saved[i] = qgetenv(kVars[i]);
    QDir root(m_dir.path());
    root.mkpath(QStringLiteral("data"));
    root.mkpath(QStringLiteral("state"));
    root.mkpath(QStringLiteral("config"));
    root.mkpath(QStringLiteral("system/ports"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/data")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/state")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/config")));
    qputenv("VELMORA_SYSTEM_DIR", QFile::encodeName(systemDir()));
    qputenv("VELMORA_PORTS_DIR", QFile::encodeName(portsDir()));
}

TestEnv::~TestEnv()
{
    // A port driver started on demand inside this set-up is ended by its pid.
    QFile pidFile(systemDir() + QStringLiteral("/vspd/vspd.pid"));
    if (pidFile.open(QIODevice::ReadOnly)) {
        const pid_t pid = pid_t(pidFile.readAll().trimmed().toLong());
        if (pid > 0 && ::kill(pid, SIGTERM) == 0) {
            QElapsedTimer t;
            t.start();
            while (isAlive(pid) && t.elapsed() < 3000)
                QThread::msleep(10);
        }
    }
    for (int i = 0; i < 5; ++i) {
        if (m_saved[i].isNull())
            qunsetenv(kVars[i]);
        else
            qputenv(kVars[i], m_saved[i]);
    }
}

QString TestEnv::dataPath() const
{
    return m_dir.path() + QStringLiteral("/data/Tavrel/Velmora");
}

QString TestEnv::systemDir() const
{
    return m_dir.path() + QStringLiteral("/system");
}

QString TestEnv::portsDir() const
{
    return m_dir.path() + QStringLiteral("/system/ports");
}

QString TestEnv::binary(const QString &name)
{
    QString dir = qEnvironmentVariable("VELMORA_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath();
    return dir + QLatin1Char('/') + name;
}

#if defined(__SANITIZE_THREAD__)
// QtCore is not built with ThreadSanitizer: a QMutex or QSemaphore hands
// over inside it, and a queued call or signal crosses threads through its
// event queues, where the sanitizer cannot see; everything our code guards
// or hands over that way would be reported as racing. These definitions
// stand in front of Qt's own for every call from this program's code (the
// linker takes them from here before the library), run Qt's own, and tell
// the sanitizer the order Qt makes. Every test links this file (the log
// capture and the test environment use it).
#include <QDeadlineTimer>
#include <QEvent>
#include <QMetaObject>
#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <QVariant>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

namespace
{
template <typename Fn> Fn qtOwn(const char *symbol)
{
    Fn fn = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, symbol));
    if (!fn)
        qFatal("ThreadSanitizer build: %s not found in QtCore", symbol);
    return fn;
}
} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = qtOwn<void (*)(QMutex *)>("_ZN6QMutex4lockEv");
    own(this);
    __tsan_acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = qtOwn<bool (*)(QMutex *, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = own(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto own = qtOwn<void (*)(QMutex *)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    own(this);
}

// The slow paths of QBasicMutex's inline lock and unlock (their fast paths
// are atomics compiled into our code, which the sanitizer sees).
void QBasicMutex::lockInternal() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = qtOwn<void (*)(QBasicMutex *)>("_ZN11QBasicMutex12lockInternalEv");
    own(this);
    __tsan_acquire(this);
}

bool QBasicMutex::lockInternal(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = qtOwn<bool (*)(QBasicMutex *, int)>("_ZN11QBasicMutex12lockInternalEi");
    const bool locked = own(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QBasicMutex::unlockInternal() noexcept
{
    static const auto own = qtOwn<void (*)(QBasicMutex *)>("_ZN11QBasicMutex14unlockInternalEv");
    __tsan_release(this);
    own(this);
}

void QSemaphore::acquire(int n)
{
    static const auto own = qtOwn<void (*)(QSemaphore *, int)>("_ZN10QSemaphore7acquireEi");
    own(this, n);
    __tsan_acquire(this);
}

bool QSemaphore::tryAcquire(int n)
{
    static const auto own = qtOwn<bool (*)(QSemaphore *, int)>("_ZN10QSemaphore10tryAcquireEi");
    const bool got = own(this, n);
    if (got)
        __tsan_acquire(this);
    return got;
}

bool QSemaphore::tryAcquire(int n, int timeout)
{
    static const auto own = qtOwn<bool (*)(QSemaphore *, int, int)>("_ZN10QSemaphore10tryAcquireEii");
    const bool got = own(this, n, timeout);
    if (got)
        __tsan_acquire(this);
    return got;
}

void QSemaphore::release(int n)
{
    static const auto own = qtOwn<void (*)(QSemaphore *, int)>("_ZN10QSemaphore7releaseEi");
    __tsan_release(this);
    own(this, n);
}

// Queued calls and signals: what the caller did before posting happens
// before the call runs in the receiver's thread, and a blocking call returns
// after it ran. The sync object is the receiver for invokeMethod and the
// sender for signals (the receivers of a signal are not known when it is
// emitted). QEvent::MetaCall events carry their sender right after QEvent.
static_assert(sizeof(QEvent) == 24, "QAbstractMetaCallEvent layout of Qt 5.15");

void QMetaObject::activate(QObject *sender, const QMetaObject *m, int localSignalIndex, void **argv)
{
    static const auto own = qtOwn<void (*)(QObject *, const QMetaObject *, int, void **)>(
        "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    __tsan_release(sender);
    own(sender, m, localSignalIndex, argv);
    __tsan_acquire(sender);
}

bool QMetaObject::invokeMethodImpl(QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type,
                                   void *ret)
{
    static const auto own = qtOwn<bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType,
                                           void *)>(
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    __tsan_release(object);
    const bool ok = own(object, slot, type, ret);
    __tsan_acquire(object);
    return ok;
}

bool QMetaObject::invokeMethod(QObject *obj, const char *member, Qt::ConnectionType type,
                               QGenericReturnArgument ret, QGenericArgument val0, QGenericArgument val1,
                               QGenericArgument val2, QGenericArgument val3, QGenericArgument val4,
                               QGenericArgument val5, QGenericArgument val6, QGenericArgument val7,
                               QGenericArgument val8, QGenericArgument val9)
{
    using Fn =
        bool (*)(QObject *, const char *, Qt::ConnectionType, QGenericReturnArgument, QGenericArgument,
                 QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument,
                 QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument);
    static const auto own =
        qtOwn<Fn>("_ZN11QMetaObject12invokeMethodEP7QObjectPKcN2Qt14ConnectionTypeE22QGeneri"
                  "cReturnArgument16QGenericArgumentS7_S7_S7_S7_S7_S7_S7_S7_S7_");
    __tsan_release(obj);
    const bool ok = own(obj, member, type, ret, val0, val1, val2, val3, val4, val5, val6, val7, val8, val9);
    __tsan_acquire(obj);
    return ok;
}

bool QObject::event(QEvent *e)
{
    static const auto own = qtOwn<bool (*)(QObject *, QEvent *)>("_ZN7QObject5eventEP6QEvent");
    const QObject *sender = nullptr;
    if (e->type() == QEvent::MetaCall)
        sender =
            *reinterpret_cast<const QObject *const *>(reinterpret_cast<const char *>(e) + sizeof(QEvent));
    // A deferred delete ends this object inside Qt's handler.
    const bool deleting = e->type() == QEvent::DeferredDelete;
    __tsan_acquire(this);
    if (sender)
        __tsan_acquire(const_cast<QObject *>(sender));
    const bool done = own(this, e);
    if (sender)
        __tsan_release(const_cast<QObject *>(sender));
    if (!deleting)
        __tsan_release(this);
    else // what a thread's last deletions did comes before a wait() for it
        __tsan_release(QThread::currentThread());
    return done;
}

// A thread's work happens before wait() for it returns: Qt emits finished()
// in the thread before it lets waiters go.
void QThread::start(Priority priority)
{
    static const auto own = qtOwn<void (*)(QThread *, Priority)>("_ZN7QThread5startENS_8PriorityE");
    if (!property("velmoraTsanHooked").toBool()) {
        setProperty("velmoraTsanHooked", true);
        connect(
            this, &QThread::finished, this, [this] { __tsan_release(this); }, Qt::DirectConnection);
    }
    own(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto own = qtOwn<bool (*)(QThread *, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = own(this, deadline);
    if (ended)
        __tsan_acquire(this);
    return ended;
}

bool QThread::wait(unsigned long time)
{
    static const auto own = qtOwn<bool (*)(QThread *, unsigned long)>("_ZN7QThread4waitEm");
    const bool ended = own(this, time);
    if (ended)
        __tsan_acquire(this);
    return ended;
}
#endif
