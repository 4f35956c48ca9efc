// Request round trips of the device library over a strictly paced port driver pair, beside the line
// time of the bytes each needs: the status query, the identity query and the full read-out of seven
// requests, at 9600 and 115200 baud. The device is a responder on the pair's other end answering at
// once, so everything above the line time is the library's (and the driver's) own.
#include "varnok/protocol/deviceprotocol.h"
#include "varnok/varnok.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace proto = varnok::protocol;
using Clock = std::chrono::steady_clock;

namespace
{

struct Lib {
    decltype(&VNK_CreateDeviceHandle) create;
    decltype(&VNK_SetDeviceParam) param;
    decltype(&VNK_OpenDevice) open;
    decltype(&VNK_CreateRequestEx) request;
    decltype(&VNK_PostRequest) post;
    decltype(&VNK_WaitForRequestCompleted) wait;
    decltype(&VNK_GetRequestStatus) status;
    decltype(&VNK_CloseDevice) close;
    decltype(&VNK_DestroyDeviceHandle) destroy;
};

const std::map<std::string, std::vector<proto::Field>> kAnswers = {
    {"!sdev", {{"ds", "0"}}},
    {"sid", {{"nm", "Tavrel Mira 01"}, {"sn", "TVR00000042"}, {"fw", "2.04"}}},
    {"comcfgget", {{"no", "1"}, {"sp", "115200"}, {"da", "8"}, {"pa", "0"}, {"st", "1"}, {"fl", "1"}}},
    {"pccfgget", {{"id", "1"}, {"no", "1"}}},
    {"trlogget", {{"id", "0"}, {"no", "0"}}},
    {"tcpipcfgget",
     {{"id", "1"},
      {"no", "1"},
      {"dh", "0"},
      {"ip", "10.10.10.10"},
      {"ma", "255.255.255.0"},
      {"ge", "10.10.10.1"}}},
    {"tunnelget", {{"sp", "0"}, {"en", "0"}, {"da", "1100"}, {"di", "1101"}}},
};

struct Step {
    const char *command;
    const char *params;
};

// Bytes on the line for one exchange: the request frame and its answer frame.
std::size_t exchangeBytes(const Step &s)
{
    proto::Request r;
    r.seq = 1;
    r.command = s.command;
    proto::parseParamText(s.params, &r.params);
    proto::Response a;
    a.fields = kAnswers.at(s.command);
    return proto::encodeRequest(r).size() + proto::encodeResponse(a).size();
}

void respond(int fd, std::atomic<bool> *stop)
{
    proto::FrameDecoder decoder;
    char buf[4096];
    while (!*stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            continue;
        decoder.feed(buf, std::size_t(n));
        proto::Frame f;
        while (decoder.next(&f)) {
            proto::Request r;
            if (!proto::parseRequest(f, &r))
                continue;
            proto::Response a;
            a.seq = r.seq;
            const auto it = kAnswers.find(r.command);
            if (it == kAnswers.end())
                a.status = proto::status::kUnknownCommand;
            else
                a.fields = it->second;
            const std::string bytes = proto::encodeResponse(a);
            std::size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (w > 0)
                    done += std::size_t(w);
                else
                    ::usleep(1000);
            }
        }
    }
}

bool setRaw(int fd, speed_t speed)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return tcsetattr(fd, TCSANOW, &t) == 0;
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

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: varnokbench <bin folder> <scratch folder> [rounds]\n");
        return 2;
    }
    const std::string bin = argv[1], scratch = argv[2];
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 20;
    ::setenv("VELMORA_SYSTEM_DIR", (scratch + "/system").c_str(), 1);
    ::setenv("VELMORA_PORTS_DIR", (scratch + "/ports").c_str(), 1);

    void *vsp = ::dlopen((bin + "/libvspdctl.so").c_str(), RTLD_NOW);
    void *vnk = ::dlopen((bin + "/libvarnok.so").c_str(), RTLD_NOW);
    if (!vsp || !vnk) {
        std::fprintf(stderr, "%s\n", ::dlerror());
        return 1;
    }
    auto createPair = reinterpret_cast<int (*)(const char *, const char *)>(::dlsym(vsp, "CreatePair"));
    auto setStrict = reinterpret_cast<int (*)(const char *, uint32_t)>(::dlsym(vsp, "SetStrictBaudrate"));
    auto deleteAll = reinterpret_cast<int (*)()>(::dlsym(vsp, "DeleteAll"));
    Lib l{};
#define RESOLVE(field, name) l.field = reinterpret_cast<decltype(l.field)>(::dlsym(vnk, name))
    RESOLVE(create, "VNK_CreateDeviceHandle");
    RESOLVE(param, "VNK_SetDeviceParam");
    RESOLVE(open, "VNK_OpenDevice");
    RESOLVE(request, "VNK_CreateRequestEx");
    RESOLVE(post, "VNK_PostRequest");
    RESOLVE(wait, "VNK_WaitForRequestCompleted");
    RESOLVE(status, "VNK_GetRequestStatus");
    RESOLVE(close, "VNK_CloseDevice");
    RESOLVE(destroy, "VNK_DestroyDeviceHandle");
#undef RESOLVE
    if (!createPair || !setStrict || !deleteAll || !(createPair("VNKBENCH", "") & 0xFF) ||
        !(setStrict("VNKBENCH", 1) & 0xFF)) {
        std::fprintf(stderr, "the driver's paced pair cannot be created\n");
        return 1;
    }
    const std::string pcEnd = scratch + "/ports/VNKBENCH", deviceEnd = scratch + "/ports/NULL_VNKBENCH";
    if (!waitFor(pcEnd) || !waitFor(deviceEnd)) {
        std::fprintf(stderr, "the pair's ports did not appear\n");
        return 1;
    }

    const std::vector<std::pair<const char *, std::vector<Step>>> cases = {
        {"status query", {{"!sdev", ""}}},
        {"identity query", {{"sid", ""}}},
        {"read-out (7 requests)",
         {{"comcfgget", "no,1"},
          {"comcfgget", "no,2"},
          {"pccfgget", ""},
          {"trlogget", ""},
          {"tcpipcfgget", ""},
          {"tunnelget", "sp,0"},
          {"tunnelget", "sp,1"}}},
    };
    std::printf("%-24s %7s %6s %11s %11s %11s %8s\n", "request", "baud", "bytes", "line ms", "median ms",
                "worst ms", "over");
    for (const auto &speed : {std::make_pair(B9600, 9600u), std::make_pair(B115200, 115200u)}) {
        const int dfd = ::open(deviceEnd.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (dfd < 0 || !setRaw(dfd, speed.first)) {
            std::fprintf(stderr, "cannot open %s\n", deviceEnd.c_str());
            return 1;
        }
        std::atomic<bool> stop{false};
        std::thread device(respond, dfd, &stop);
        VNK_HANDLE dev = l.create(1);
        const std::string line = pcEnd + "," + std::to_string(speed.second) + ",8,N,1,N";
        l.param(dev, 0x20001, line.c_str());
        VNK_HANDLE open = l.open(dev);
        if (!open) {
            std::fprintf(stderr, "cannot open %s\n", line.c_str());
            return 1;
        }
        std::int32_t five = 5;
        l.param(open, 0x2000A, &five);
        for (const auto &c : cases) {
            std::size_t bytes = 0;
            for (const Step &s : c.second)
                bytes += exchangeBytes(s);
            const double lineMs = double(bytes) * 10 * 1000 / speed.second;
            std::vector<double> times;
            for (int i = 0; i < rounds; ++i) {
                const auto t0 = Clock::now();
                for (const Step &s : c.second) { // one after the other, as the read-out does
                    VNK_HANDLE r = l.request(open, s.command, s.params);
                    l.post(r, 0);
                    while (l.wait(r, 200) != 0) {
                    }
                    if (l.status(r) != 0)
                        std::fprintf(stderr, "%s failed: 0x%X\n", s.command, l.status(r));
                }
                times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
            std::sort(times.begin(), times.end());
            const double median = times[times.size() / 2];
            std::printf("%-24s %7u %6zu %11.2f %11.2f %11.2f %+7.1f%%\n", c.first, speed.second, bytes,
                        lineMs, median, times.back(), (median / lineMs - 1) * 100);
        }
        l.close(open);
        l.destroy(dev);
        stop = true;
        device.join();
        ::close(dfd);
    }
    deleteAll();
    return 0;
}
