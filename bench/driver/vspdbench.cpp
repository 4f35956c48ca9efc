// Side-by-side benchmark of the port driver's pairs against socat's
// pty-to-pty relay: throughput of 10 MiB (checked byte for byte), round-trip
// latency of 1- and 64-byte messages through an echoing process, and the
// rate of strict baud-rate emulation. Run through bench/driver/run.sh.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace
{

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

int openRaw(const std::string &path, speed_t speed = B115200)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    termios t;
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, speed);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

bool writeAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, std::min<size_t>(n, 65536));
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool readAll(int fd, char *p, size_t n, int idleMs = 5000)
{
    while (n > 0) {
        pollfd pf{fd, POLLIN, 0};
        if (::poll(&pf, 1, idleMs) <= 0)
            return false;
        const ssize_t r = ::read(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

std::vector<char> randomBytes(size_t n, uint32_t seed)
{
    std::vector<char> b(n);
    uint32_t x = seed | 1;
    for (char &c : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x >> 24);
    }
    return b;
}

// MB/s from a to b for 10 MiB, or -1 when the bytes did not arrive exactly.
double throughput(const std::string &from, const std::string &to)
{
    const size_t n = 10 * 1024 * 1024;
    const std::vector<char> data = randomBytes(n, 7);
    std::vector<char> got(n);
    const int a = openRaw(from), b = openRaw(to);
    bool ok = true;
    const auto start = Clock::now();
    std::thread reader([&] { ok = readAll(b, got.data(), n); });
    const bool wrote = writeAll(a, data.data(), n);
    reader.join();
    const double s = seconds(Clock::now() - start);
    ::close(a);
    ::close(b);
    return wrote && ok && got == data ? n / s / 1e6 : -1;
}

struct Latency {
    double p50, p99;
};

// Round trips through a child process that echoes at the other end.
Latency latency(const std::string &near, const std::string &far, size_t size, int rounds)
{
    const pid_t echo = ::fork();
    if (echo == 0) {
        const int b = openRaw(far);
        char buf[4096];
        for (;;) {
            const ssize_t r = ::read(b, buf, sizeof buf);
            if (r <= 0 || !writeAll(b, buf, size_t(r)))
                ::_exit(0);
        }
    }
    ::usleep(200000); // the echo has its end open
    const int a = openRaw(near);
    std::vector<char> msg = randomBytes(size, 9), back(size);
    std::vector<double> times;
    for (int i = 0; i < rounds + 50; ++i) {
        const auto t0 = Clock::now();
        if (!writeAll(a, msg.data(), size) || !readAll(a, back.data(), size, 2000) || back != msg) {
            std::fprintf(stderr, "round trip %d failed\n", i);
            break;
        }
        if (i >= 50) // the first rounds warm up
            times.push_back(seconds(Clock::now() - t0) * 1e6);
    }
    ::close(a);
    ::kill(echo, SIGTERM);
    ::waitpid(echo, nullptr, 0);
    if (times.empty())
        return {-1, -1};
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times[std::min(times.size() - 1, times.size() * 99 / 100)]};
}

// Bytes per second arriving at `to` while `from` sends at the given baud rate.
double strictRate(const std::string &from, const std::string &to, speed_t speed, size_t bytes)
{
    const int a = openRaw(from, speed), b = openRaw(to, speed);
    const std::vector<char> data = randomBytes(bytes, 11);
    Clock::time_point first, last;
    size_t got = 0;
    std::thread reader([&] {
        char buf[4096];
        while (got < bytes) {
            pollfd pf{b, POLLIN, 0};
            if (::poll(&pf, 1, 5000) <= 0)
                return;
            const ssize_t r = ::read(b, buf, sizeof buf);
            if (r <= 0)
                return;
            if (got == 0)
                first = Clock::now();
            got += size_t(r);
            last = Clock::now();
        }
    });
    writeAll(a, data.data(), bytes);
    reader.join();
    ::close(a);
    ::close(b);
    // The first byte starts the clock, so it does not count.
    if (got != bytes)
        std::fprintf(stderr, "strict run: %zu of %zu bytes arrived\n", got, bytes);
    return got == bytes ? (bytes - 1) / seconds(last - first) : -1;
}

bool waitFor(const std::string &path)
{
    for (int i = 0; i < 500; ++i) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0)
            return true;
        ::usleep(10000);
    }
    return false;
}

void row(const char *what, double driver, double socat, const char *unit)
{
    std::printf("%-34s %12.2f %12.2f  %s\n", what, driver, socat, unit);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: vspdbench <bin folder> <scratch folder>\n");
        return 2;
    }
    const std::string bin = argv[1], scratch = argv[2];
    ::setenv("VELMORA_SYSTEM_DIR", (scratch + "/system").c_str(), 1);
    ::setenv("VELMORA_PORTS_DIR", (scratch + "/ports").c_str(), 1);
    ::unsetenv("VELMORA_VSPD");

    void *lib = ::dlopen((bin + "/libvspdctl.so").c_str(), RTLD_NOW);
    if (!lib) {
        std::fprintf(stderr, "%s\n", ::dlerror());
        return 1;
    }
    auto createPair = reinterpret_cast<int (*)(const char *, const char *)>(::dlsym(lib, "CreatePair"));
    auto setStrict = reinterpret_cast<int (*)(const char *, uint32_t)>(::dlsym(lib, "SetStrictBaudrate"));
    auto deleteAll = reinterpret_cast<int (*)()>(::dlsym(lib, "DeleteAll"));
    if (!createPair || !setStrict || !deleteAll || !createPair("BENCH", "") || !createPair("PACED", "")) {
        std::fprintf(stderr, "the driver's pairs cannot be created (error %d)\n", errno);
        return 1;
    }
    const std::string d1 = scratch + "/ports/BENCH", d2 = scratch + "/ports/NULL_BENCH";

    const std::string s1 = scratch + "/socat1", s2 = scratch + "/socat2";
    const pid_t socat = ::fork();
    if (socat == 0) {
        ::execlp("socat", "socat", ("pty,raw,echo=0,link=" + s1).c_str(),
                 ("pty,raw,echo=0,link=" + s2).c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    if (!waitFor(s1) || !waitFor(s2)) {
        std::fprintf(stderr, "socat did not start\n");
        return 1;
    }

    std::printf("%-34s %12s %12s\n", "measure", "vspd", "socat");
    row("throughput COM->NULL 10 MiB", throughput(d1, d2), throughput(s1, s2), "MB/s (-1 = bytes differ)");
    row("throughput NULL->COM 10 MiB", throughput(d2, d1), throughput(s2, s1), "MB/s");
    const Latency d1b = latency(d1, d2, 1, 2000), s1b = latency(s1, s2, 1, 2000);
    row("round trip 1 byte p50", d1b.p50, s1b.p50, "us");
    row("round trip 1 byte p99", d1b.p99, s1b.p99, "us");
    const Latency d64 = latency(d1, d2, 64, 2000), s64 = latency(s1, s2, 64, 2000);
    row("round trip 64 bytes p50", d64.p50, s64.p50, "us");
    row("round trip 64 bytes p99", d64.p99, s64.p99, "us");

    ::kill(socat, SIGTERM);
    ::waitpid(socat, nullptr, 0);

    setStrict("PACED", 1);
    const std::string p1 = scratch + "/ports/PACED", p2 = scratch + "/ports/NULL_PACED";
    for (const auto &b : {std::make_pair(B9600, 9600.0), std::make_pair(B115200, 115200.0)}) {
        const double expected = b.second / 10;
        const double rate = strictRate(p1, p2, b.first, size_t(expected * 3));
        std::printf("strict %6.0f baud: %9.1f B/s, expected %8.1f B/s, off by %+.2f%%\n", b.second, rate,
                    expected, (rate / expected - 1) * 100);
    }
    deleteAll();
    return 0;
}
