// libvarnok.so: the VNK_* functions over the device protocol of docs/device-protocol.md.
//
// All state lives behind one lock: the handle tables, every request and every open device's queues.
// Each open device has an I/O thread that takes the lock only to move bytes between its queues and the
// line; it polls the line and a wake-up descriptor with the lock released. Callers block only in
// VNK_WaitForRequestCompleted (bounded) and in VNK_CloseDevice (joining the I/O thread).

#include "varnok/varnok.h"

#include "varnok/linesettings.h"
#include "varnok/protocol/deviceprotocol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define VNK_EXPORT extern "C" __attribute__((visibility("default")))

namespace proto = varnok::protocol;
namespace st = varnok::protocol::status;
using Clock = std::chrono::steady_clock;

namespace
{

const unsigned kVersionMajor = 1, kVersionMinor = 0, kVersionBuild = 3;
// Answers may be outstanding for this many requests at once; the device buffers them.
const std::size_t kMaxInFlight = 8;
// Posted and unfinished requests of one device; more are refused.
const std::size_t kMaxUnfinished = 256;
// Finished requests kept per device; older ones are released (the caller never destroys them).
const std::size_t kKeepFinished = 256;
const unsigned kDefaultAnswerTimeoutMs = 3000;
const auto kReopenInterval = std::chrono::milliseconds(500);

struct Logger;
struct OpenDevice;

struct Request {
    std::uintptr_t handle = 0;
    std::uintptr_t open = 0;
    std::string command;
    std::vector<proto::Field> params; // values in Windows-1250
    std::uint16_t serial = 0;
    std::uint32_t state = proto::state::kCreated;
    std::uint32_t status = 0;
    std::vector<proto::Field> fields; // values in UTF-8
    std::size_t popped = 0;
    bool handedOut = false; // by VNK_GetNextResponse
    Clock::time_point posted;
    Clock::time_point deadline;
    bool deadlineSet = false;
    std::uint64_t endOffset = 0; // the line's write counter once its last byte is written
};

struct Logger {
    std::mutex lock;
    unsigned level = 0;
    std::string fileName;
    bool append = false;
    FILE *file = nullptr;
    bool failed = false;

    ~Logger()
    {
        if (file)
            fclose(file);
    }
    bool on(unsigned bits)
    {
        std::lock_guard<std::mutex> g(lock);
        return (level & bits) != 0;
    }
    void setFile(const std::string &name)
    {
        std::lock_guard<std::mutex> g(lock);
        if (file)
            fclose(file);
        file = nullptr;
        failed = false;
        fileName = name;
        append = !fileName.empty() && fileName.back() == '+';
        if (append)
            fileName.pop_back();
    }
    void write(unsigned bits, const char *format, ...) __attribute__((format(printf, 3, 4)))
    {
        std::lock_guard<std::mutex> g(lock);
        if ((level & bits) == 0)
            return;
        char text[2048];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        tm t{};
        localtime_r(&ts.tv_sec, &t);
        char stamp[64];
        snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", t.tm_year + 1900, t.tm_mon + 1,
                 t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000000);
        if (!file && !failed && !fileName.empty()) {
            file = fopen(fileName.c_str(), append ? "ae" : "we");
            failed = file == nullptr;
            append = true; // a file truncated once is continued for the rest of the run
        }
        if (file) {
            fprintf(file, "%s varnok: %s\n", stamp, text);
            fflush(file);
        }
        if (level & VNK_DEBUG_STDERR)
            fprintf(stderr, "%s varnok: %s\n", stamp, text);
    }
};

struct DeviceHandle {
    std::uintptr_t handle = 0;
    std::uint32_t lastError = 0;
    std::shared_ptr<Logger> log = std::make_shared<Logger>();
    bool lineSet = false;
    varnok::LineSettings line;
    unsigned answerTimeoutMs = kDefaultAnswerTimeoutMs;
    std::uintptr_t open = 0;
};

struct OpenDevice {
    std::uintptr_t handle = 0;
    std::uintptr_t device = 0;
    std::uint32_t lastError = 0;
    std::shared_ptr<Logger> log;
    varnok::LineSettings line;
    std::string path;
    unsigned answerTimeoutMs = kDefaultAnswerTimeoutMs;
    int fd = -1;
    int wakeFd = -1;
    int eventFd = -1;
    bool eventMode = false;
    bool stop = false;
    bool closing = false;
    bool lineUp = false;
    Clock::time_point nextReopen;
    std::thread io;
    std::uint16_t nextSerial = 1;
    std::deque<std::shared_ptr<Request>> queued;
    std::vector<std::shared_ptr<Request>> inFlight;
    std::deque<std::uintptr_t> requests; // every request of this device, oldest first
    std::string out;                     // bytes not yet taken by the line
    std::uint64_t written = 0;           // bytes the line took since opening
    proto::FrameDecoder decoder;
    bool haveDeviceState = false;
    unsigned deviceState = 0;
};

std::mutex g_lock;
std::condition_variable g_done; // a request finished
std::uintptr_t g_nextHandle = 0x1000;
std::map<std::uintptr_t, std::shared_ptr<DeviceHandle>> g_devices;
std::map<std::uintptr_t, std::shared_ptr<OpenDevice>> g_opens;
std::map<std::uintptr_t, std::shared_ptr<Request>> g_requests;
thread_local std::uint32_t t_lastError = 0;

std::uintptr_t newHandle()
{
    g_nextHandle += 0x10;
    if (g_nextHandle < 0x1000)
        g_nextHandle = 0x1000;
    return g_nextHandle;
}

template <typename T>
std::shared_ptr<T> lookup(const std::map<std::uintptr_t, std::shared_ptr<T>> &table, VNK_HANDLE h)
{
    const auto it = table.find(reinterpret_cast<std::uintptr_t>(h));
    return it == table.end() ? nullptr : it->second;
}

VNK_HANDLE asHandle(std::uintptr_t h)
{
    return reinterpret_cast<VNK_HANDLE>(h);
}

void wake(const OpenDevice &d)
{
    if (d.wakeFd >= 0) {
        const std::uint64_t one = 1;
        ssize_t r = ::write(d.wakeFd, &one, sizeof one);
        (void)r;
    }
}

// With the lock held.
void finish(OpenDevice &d, const std::shared_ptr<Request> &r, std::uint32_t status,
            const std::vector<proto::Field> &wireFields = {})
{
    r->state = proto::state::kDone;
    r->status = status;
    r->fields.clear();
    for (const proto::Field &f : wireFields)
        r->fields.push_back({f.name, proto::cp1250ToUtf8(f.value)});
    d.log->write(VNK_DEBUG_REQUESTS, "request %u (%s) finished: status 0x%08X, %zu values",
                 unsigned(r->serial), r->command.c_str(), status, r->fields.size());
    if (d.eventMode && d.eventFd >= 0) {
        const std::uint64_t one = 1;
        ssize_t w = ::write(d.eventFd, &one, sizeof one);
        (void)w;
    }
    g_done.notify_all();
}

void releaseRequest(std::uintptr_t h)
{
    g_requests.erase(h);
}

// Keeps the number of finished requests of a device bounded; the oldest go first.
void trimFinished(OpenDevice &d)
{
    std::size_t finished = 0;
    for (std::uintptr_t h : d.requests) {
        const auto it = g_requests.find(h);
        if (it != g_requests.end() && it->second->state == proto::state::kDone)
            ++finished;
    }
    for (auto it = d.requests.begin(); finished > kKeepFinished && it != d.requests.end();) {
        const auto r = g_requests.find(*it);
        if (r == g_requests.end()) {
            it = d.requests.erase(it);
        } else if (r->second->state == proto::state::kDone) {
            releaseRequest(*it);
            it = d.requests.erase(it);
            --finished;
        } else {
            ++it;
        }
    }
}

std::string printableBytes(const std::string &bytes)
{
    std::string s;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            s.push_back(char(c));
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "<%02X>", c);
            s += hex;
        }
    }
    return s;
}

// ---- the line ----

void closeLine(OpenDevice &d)
{
    if (d.fd >= 0)
        ::close(d.fd);
    d.fd = -1;
    d.lineUp = false;
}

bool openLine(OpenDevice &d, std::uint32_t *error)
{
    const int fd = ::open(d.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = st::kPortOpenFailed;
        return false;
    }
    bool exact = true;
    if (!isatty(fd) || !varnok::applyLineSettings(fd, d.line, &exact)) {
        ::close(fd);
        *error = st::kPortOpenFailed;
        return false;
    }
    // A pseudo-terminal keeps 8 data bits and no parity whatever it is told; it carries the bytes alike.
    if (!exact)
        d.log->write(VNK_DEBUG_EVENTS, "%s keeps part of its own line settings", d.path.c_str());
    tcflush(fd, TCIOFLUSH);
    d.fd = fd;
    d.lineUp = true;
    d.decoder.reset();
    d.out.clear();
    return true;
}

// The line went away: what is on it will not be answered; what waits stays queued for the line's return.
void lineLost(OpenDevice &d, const char *why)
{
    d.log->write(VNK_DEBUG_EVENTS, "line %s lost (%s), %zu requests on it", d.path.c_str(), why,
                 d.inFlight.size());
    closeLine(d);
    for (const auto &r : d.inFlight)
        finish(d, r, st::kLineLost);
    d.inFlight.clear();
    d.nextReopen = Clock::now() + kReopenInterval;
}

unsigned lineTimeMs(const OpenDevice &d, std::size_t bytes)
{
    const unsigned bits = proto::lineBitsPerChar(d.line.dataBits, d.line.parity != 'N', d.line.stopBits);
    return unsigned((std::uint64_t(bytes) * bits * 1000 + d.line.baud - 1) / d.line.baud);
}

// Moves requests onto the line while there is room; with the lock held.
void sendQueued(OpenDevice &d)
{
    while (d.lineUp && !d.queued.empty() && d.inFlight.size() < kMaxInFlight) {
        auto r = d.queued.front();
        d.queued.pop_front();
        proto::Request req;
        req.seq = r->serial;
        req.command = r->command;
        req.params = r->params;
        const std::string frame = proto::encodeRequest(req);
        r->state = proto::state::kSent;
        d.out += frame;
        r->endOffset = d.written + d.out.size();
        r->deadlineSet = false;
        d.inFlight.push_back(r);
        d.log->write(VNK_DEBUG_FRAMES, "send %s", printableBytes(frame).c_str());
    }
}

void writeOut(OpenDevice &d)
{
    while (d.lineUp && !d.out.empty()) {
        const ssize_t n = ::write(d.fd, d.out.data(), d.out.size());
        if (n > 0) {
            d.out.erase(0, std::size_t(n));
            d.written += std::uint64_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        lineLost(d, n < 0 ? strerror(errno) : "write refused");
        return;
    }
    // A request whose bytes the line has taken waits its answer time from when they are out.
    const auto now = Clock::now();
    int pendingOut = 0;
    if (d.lineUp && ioctl(d.fd, TIOCOUTQ, &pendingOut) != 0)
        pendingOut = 0;
    for (const auto &r : d.inFlight) {
        if (!r->deadlineSet && d.written >= r->endOffset) {
            r->deadline = now + std::chrono::milliseconds(
                                    lineTimeMs(d, std::size_t(std::max(pendingOut, 0))) + d.answerTimeoutMs);
            r->deadlineSet = true;
        }
    }
}

void readIn(OpenDevice &d)
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(d.fd, buf, sizeof buf);
        if (n > 0) {
            const std::uint64_t droppedBefore = d.decoder.discardedBytes();
            d.decoder.feed(buf, std::size_t(n));
            if (d.log->on(VNK_DEBUG_FRAMES))
                d.log->write(VNK_DEBUG_FRAMES, "received %s",
                             printableBytes(std::string(buf, std::size_t(n))).c_str());
            if (d.decoder.discardedBytes() != droppedBefore)
                d.log->write(VNK_DEBUG_EVENTS, "%llu bytes dropped (not a valid frame)",
                             static_cast<unsigned long long>(d.decoder.discardedBytes() - droppedBefore));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // A raw terminal without data answers 0 (no minimum count); a vanished one fails (EIO).
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        lineLost(d, strerror(errno));
        return;
    }
    proto::Frame frame;
    while (d.decoder.next(&frame)) {
        proto::Response answer;
        if (!proto::parseResponse(frame, &answer)) {
            d.log->write(VNK_DEBUG_EVENTS, "frame %c %04X ignored (not an answer)", frame.type,
                         unsigned(frame.seq));
            continue;
        }
        const auto it =
            std::find_if(d.inFlight.begin(), d.inFlight.end(),
                         [&](const std::shared_ptr<Request> &r) { return r->serial == answer.seq; });
        if (it == d.inFlight.end()) {
            d.log->write(VNK_DEBUG_EVENTS, "answer %u matches no request on the line", unsigned(answer.seq));
            continue;
        }
        const auto r = *it;
        d.inFlight.erase(it);
        if (r->command == proto::command::kStatus && answer.status == 0) {
            if (const proto::Field *ds = proto::findField(answer.fields, "ds")) {
                d.haveDeviceState = true;
                d.deviceState = unsigned(strtoul(ds->value.c_str(), nullptr, 10));
            }
        }
        finish(d, r, answer.status, answer.fields);
    }
}

void expire(OpenDevice &d, Clock::time_point now)
{
    for (auto it = d.inFlight.begin(); it != d.inFlight.end();) {
        if ((*it)->deadlineSet && now >= (*it)->deadline) {
            const auto r = *it;
            it = d.inFlight.erase(it);
            d.log->write(VNK_DEBUG_EVENTS, "request %u (%s) not answered in %u ms", unsigned(r->serial),
                         r->command.c_str(), d.answerTimeoutMs);
            finish(d, r, st::kNoAnswer);
        } else {
            ++it;
        }
    }
    // Requests waiting for a vanished line give up after the answer time as well.
    for (auto it = d.queued.begin(); it != d.queued.end();) {
        if (!d.lineUp && now >= (*it)->posted + std::chrono::milliseconds(d.answerTimeoutMs)) {
            const auto r = *it;
            it = d.queued.erase(it);
            finish(d, r, st::kNoAnswer);
        } else {
            ++it;
        }
    }
}

void ioThread(std::shared_ptr<OpenDevice> dev)
{
    OpenDevice &d = *dev;
    std::unique_lock<std::mutex> lock(g_lock);
    while (!d.stop) {
        auto now = Clock::now();
        if (!d.lineUp && now >= d.nextReopen) {
            std::uint32_t error = 0;
            if (openLine(d, &error))
                d.log->write(VNK_DEBUG_EVENTS, "line %s back", d.path.c_str());
            else
                d.nextReopen = now + kReopenInterval;
        }
        sendQueued(d);
        writeOut(d);
        expire(d, now);
        trimFinished(d);

        // Sleep until the line or a caller needs attention, or the next deadline.
        Clock::time_point until = now + std::chrono::seconds(1);
        for (const auto &r : d.inFlight)
            if (r->deadlineSet)
                until = std::min(until, r->deadline);
        if (!d.lineUp) {
            until = std::min(until, d.nextReopen);
            for (const auto &r : d.queued)
                until = std::min(until, r->posted + std::chrono::milliseconds(d.answerTimeoutMs));
        }
        pollfd fds[2] = {{d.wakeFd, POLLIN, 0},
                         {d.lineUp ? d.fd : -1, short(POLLIN | (d.out.empty() ? 0 : POLLOUT)), 0}};
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
        lock.unlock();
        ::poll(fds, 2, int(std::max<long long>(waitMs, 0) + 1));
        lock.lock();
        if (fds[0].revents & POLLIN) {
            std::uint64_t v;
            ssize_t r = ::read(d.wakeFd, &v, sizeof v);
            (void)r;
        }
        if (d.stop || !d.lineUp || fds[1].fd < 0)
            continue;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
            readIn(d);
        if (d.lineUp && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)))
            lineLost(d, "hang-up");
    }
}

// Stops the I/O thread, finishes and releases everything of the device; the lock is taken inside.
void closeOpen(const std::shared_ptr<OpenDevice> &d)
{
    std::thread io;
    {
        std::lock_guard<std::mutex> g(g_lock);
        // One closer only (a close and a destroy of its device may race); the thread is taken here.
        if (d->closing)
            return;
        d->closing = true;
        d->stop = true;
        wake(*d);
        io = std::move(d->io);
    }
    if (io.joinable())
        io.join();
    std::lock_guard<std::mutex> g(g_lock);
    for (const auto &r : d->inFlight)
        finish(*d, r, st::kDeviceClosed);
    for (const auto &r : d->queued)
        finish(*d, r, st::kDeviceClosed);
    d->inFlight.clear();
    d->queued.clear();
    for (std::uintptr_t h : d->requests)
        releaseRequest(h);
    d->requests.clear();
    closeLine(*d);
    if (d->wakeFd >= 0)
        ::close(d->wakeFd);
    if (d->eventFd >= 0)
        ::close(d->eventFd);
    d->wakeFd = d->eventFd = -1;
    const auto dev = g_devices.find(d->device);
    if (dev != g_devices.end() && dev->second->open == d->handle)
        dev->second->open = 0;
    g_opens.erase(d->handle);
    d->log->write(VNK_DEBUG_EVENTS, "device closed");
}

// The error of a failed call: on the handle it was made on, and for the calling thread.
std::uint32_t fail(std::uint32_t code, std::uint32_t *slot = nullptr)
{
    t_lastError = code;
    if (slot)
        *slot = code;
    return code;
}

std::uint32_t *errorSlot(VNK_HANDLE h)
{
    if (auto d = lookup(g_devices, h))
        return &d->lastError;
    if (auto o = lookup(g_opens, h))
        return &o->lastError;
    return nullptr;
}

// The value of a response field into the caller's buffers; false when it does not fit.
std::uint32_t copyOut(const std::string &text, char *buffer, unsigned int max)
{
    if (text.size() > max)
        return st::kBufferTooSmall;
    memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return 0;
}

VNK_HANDLE createRequest(VNK_HANDLE open, const char *command, const char *params)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto o = lookup(g_opens, open);
    if (!o)
        return fail(st::kInvalidHandle), nullptr;
    if (!command || !proto::validCommand(command))
        return fail(st::kInvalidArgument, &o->lastError), nullptr;
    std::vector<proto::Field> fields;
    if (params && !proto::parseParamText(params, &fields))
        return fail(st::kBadParamText, &o->lastError), nullptr;
    auto r = std::make_shared<Request>();
    r->handle = newHandle();
    r->open = o->handle;
    r->command = command;
    for (proto::Field &f : fields)
        f.value = proto::utf8ToCp1250(f.value);
    r->params = std::move(fields);
    g_requests[r->handle] = r;
    o->requests.push_back(r->handle);
    return asHandle(r->handle);
}

} // namespace

VNK_EXPORT unsigned int VNK_GetLibraryVersion(void)
{
    return (kVersionMajor << 24) | (kVersionMinor << 16) | kVersionBuild;
}

VNK_EXPORT VNK_HANDLE VNK_CreateDeviceHandle(unsigned int type)
{
    if (type != VNK_DEVICE_RS232)
        return fail(st::kUnsupportedDeviceType), nullptr;
    std::lock_guard<std::mutex> g(g_lock);
    auto d = std::make_shared<DeviceHandle>();
    d->handle = newHandle();
    g_devices[d->handle] = d;
    return asHandle(d->handle);
}

VNK_EXPORT VNK_RESULT VNK_DestroyDeviceHandle(VNK_HANDLE device)
{
    std::shared_ptr<OpenDevice> open;
    {
        std::lock_guard<std::mutex> g(g_lock);
        auto d = lookup(g_devices, device);
        if (!d)
            return fail(st::kInvalidHandle);
        open = d->open ? lookup(g_opens, asHandle(d->open)) : nullptr;
    }
    if (open)
        closeOpen(open);
    std::lock_guard<std::mutex> g(g_lock);
    g_devices.erase(reinterpret_cast<std::uintptr_t>(device));
    return 0;
}

VNK_EXPORT VNK_RESULT VNK_SetDebugLevel(VNK_HANDLE device, unsigned int level)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto d = lookup(g_devices, device);
    if (!d)
        return fail(st::kInvalidHandle);
    std::lock_guard<std::mutex> lg(d->log->lock);
    d->log->level = level;
    return 0;
}

VNK_EXPORT VNK_RESULT VNK_SetDebugFileName(VNK_HANDLE device, const char *fileName)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto d = lookup(g_devices, device);
    if (!d)
        return fail(st::kInvalidHandle);
    d->log->setFile(fileName ? fileName : "");
    return 0;
}

VNK_EXPORT VNK_RESULT VNK_SetDeviceParam(VNK_HANDLE handle, unsigned int id, const void *value)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto d = lookup(g_devices, handle);
    auto o = d ? nullptr : lookup(g_opens, handle);
    if (!d && !o)
        return fail(st::kInvalidHandle);
    std::uint32_t *slot = d ? &d->lastError : &o->lastError;
    if (!value)
        return fail(st::kInvalidArgument, slot);
    if (id == VNK_PARAM_LINE) {
        if (!d)
            return fail(st::kInvalidArgument, slot); // the line of an open device changes by reopening
        varnok::LineSettings line;
        if (!varnok::parseLineSettings(static_cast<const char *>(value), &line))
            return fail(st::kBadLineSettings, slot);
        d->line = line;
        d->lineSet = true;
        return 0;
    }
    if (id == VNK_PARAM_ANSWER_TIMEOUT) {
        std::int32_t seconds = 0;
        memcpy(&seconds, value, sizeof seconds);
        if (seconds < 1 || seconds > 300)
            return fail(st::kInvalidArgument, slot);
        if (d)
            d->answerTimeoutMs = unsigned(seconds) * 1000;
        else
            o->answerTimeoutMs = unsigned(seconds) * 1000;
        return 0;
    }
    return fail(st::kUnknownParamId, slot);
}

VNK_EXPORT VNK_HANDLE VNK_OpenDevice(VNK_HANDLE device)
{
    std::shared_ptr<DeviceHandle> d;
    varnok::LineSettings line;
    {
        std::lock_guard<std::mutex> g(g_lock);
        d = lookup(g_devices, device);
        if (!d)
            return fail(st::kInvalidHandle), nullptr;
        if (d->open)
            return fail(st::kWrongRequestState, &d->lastError), nullptr;
        if (!d->lineSet)
            return fail(st::kNotOpen, &d->lastError), nullptr;
        line = d->line;
    }
    // Port names resolve like every port name of the program (may ask the port driver): no lock held.
    const std::string path = varnok::portDevicePath(line.port);
    auto o = std::make_shared<OpenDevice>();
    o->device = d->handle;
    o->log = d->log;
    o->line = line;
    o->path = path;
    std::uint32_t error = 0;
    if (!openLine(*o, &error)) {
        d->log->write(VNK_DEBUG_EVENTS, "cannot open %s (%s): %s", line.port.c_str(), path.c_str(),
                      strerror(errno));
        std::lock_guard<std::mutex> g(g_lock);
        return fail(error, &d->lastError), nullptr;
    }
    o->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    o->eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (o->wakeFd < 0 || o->eventFd < 0) {
        closeLine(*o);
        if (o->wakeFd >= 0)
            ::close(o->wakeFd);
        if (o->eventFd >= 0)
            ::close(o->eventFd);
        std::lock_guard<std::mutex> g(g_lock);
        return fail(st::kPortOpenFailed, &d->lastError), nullptr;
    }
    std::lock_guard<std::mutex> g(g_lock);
    if (!g_devices.count(d->handle) || d->open) { // destroyed or opened meanwhile by another thread
        closeLine(*o);
        ::close(o->wakeFd);
        ::close(o->eventFd);
        return fail(st::kInvalidHandle), nullptr;
    }
    o->answerTimeoutMs = d->answerTimeoutMs;
    o->handle = newHandle();
    d->open = o->handle;
    g_opens[o->handle] = o;
    o->log->write(VNK_DEBUG_EVENTS, "opened %s (%s) %u,%u,%c,%u,%c", line.port.c_str(), path.c_str(),
                  line.baud, line.dataBits, line.parity, line.stopBits, line.flow);
    o->io = std::thread(ioThread, o);
    return asHandle(o->handle);
}

VNK_EXPORT VNK_RESULT VNK_CloseDevice(VNK_HANDLE open)
{
    std::shared_ptr<OpenDevice> o;
    {
        std::lock_guard<std::mutex> g(g_lock);
        o = lookup(g_opens, open);
        if (!o)
            return fail(st::kInvalidHandle);
        // Out of the table at once, so a second close of the same handle is refused.
        g_opens.erase(o->handle);
    }
    closeOpen(o);
    return 0;
}

VNK_EXPORT VNK_RESULT VNK_GetError(VNK_HANDLE handle)
{
    if (!handle)
        return t_lastError;
    std::lock_guard<std::mutex> g(g_lock);
    if (std::uint32_t *slot = errorSlot(handle))
        return *slot;
    if (g_requests.count(reinterpret_cast<std::uintptr_t>(handle)))
        return t_lastError;
    return st::kInvalidHandle;
}

VNK_EXPORT const char *VNK_GetErrorString(VNK_RESULT code, const char *language)
{
    (void)language; // Polish is the only language
    const char *text = proto::statusText(code);
    return text ? text : "";
}

VNK_EXPORT VNK_RESULT VNK_SetEventHandlingMode(VNK_HANDLE open, unsigned int mode)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto o = lookup(g_opens, open);
    if (!o)
        return fail(st::kInvalidHandle);
    if (mode > 1)
        return fail(st::kInvalidArgument, &o->lastError);
    o->eventMode = mode == 1;
    return 0;
}

VNK_EXPORT intptr_t VNK_GetEvent(VNK_HANDLE open)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto o = lookup(g_opens, open);
    if (!o)
        return fail(st::kInvalidHandle), -1;
    return o->eventFd;
}

VNK_EXPORT VNK_HANDLE VNK_CreateRequestEx(VNK_HANDLE open, const char *command, const char *params)
{
    return createRequest(open, command, params);
}

VNK_EXPORT VNK_HANDLE VNK_CreateRequest(VNK_HANDLE open, const char *command)
{
    return createRequest(open, command, nullptr);
}

VNK_EXPORT VNK_RESULT VNK_PushRequestParam(VNK_HANDLE request, const char *name, const char *value)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto r = lookup(g_requests, request);
    if (!r)
        return fail(st::kInvalidHandle);
    if (r->state != proto::state::kCreated)
        return fail(st::kWrongRequestState);
    if (!name || !value || !proto::validName(name))
        return fail(st::kInvalidArgument);
    r->params.push_back({name, proto::utf8ToCp1250(value)});
    return 0;
}

VNK_EXPORT VNK_RESULT VNK_PostRequest(VNK_HANDLE request, unsigned int flags)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto r = lookup(g_requests, request);
    if (!r)
        return fail(st::kInvalidHandle);
    auto o = lookup(g_opens, asHandle(r->open));
    if (!o)
        return fail(st::kNotOpen);
    if (flags != 0)
        return fail(st::kInvalidArgument, &o->lastError);
    if (r->state != proto::state::kCreated)
        return fail(st::kWrongRequestState, &o->lastError);
    if (o->queued.size() + o->inFlight.size() >= kMaxUnfinished)
        return fail(st::kTooManyRequests, &o->lastError);
    proto::Request probe;
    probe.command = r->command;
    probe.params = r->params;
    if (proto::encodeRequest(probe).empty())
        return fail(st::kRequestTooLong, &o->lastError);
    r->serial = o->nextSerial;
    o->nextSerial = o->nextSerial == 0xFFFF ? 1 : std::uint16_t(o->nextSerial + 1);
    r->state = proto::state::kQueued;
    r->posted = Clock::now();
    o->queued.push_back(r);
    o->log->write(VNK_DEBUG_REQUESTS, "request %u posted: %s, %zu parameters", unsigned(r->serial),
                  r->command.c_str(), r->params.size());
    wake(*o);
    return 0;
}

VNK_EXPORT VNK_RESULT VNK_DestroyRequest(VNK_HANDLE request)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto r = lookup(g_requests, request);
    if (!r)
        return fail(st::kInvalidHandle);
    if (auto o = lookup(g_opens, asHandle(r->open))) {
        // A request still waiting is taken off the line; a late answer to it is then ignored.
        o->queued.erase(std::remove(o->queued.begin(), o->queued.end(), r), o->queued.end());
        o->inFlight.erase(std::remove(o->inFlight.begin(), o->inFlight.end(), r), o->inFlight.end());
        o->requests.erase(std::remove(o->requests.begin(), o->requests.end(), r->handle), o->requests.end());
    }
    releaseRequest(r->handle);
    return 0;
}

VNK_EXPORT VNK_RESULT VNK_WaitForRequestCompleted(VNK_HANDLE request, unsigned int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_lock);
    auto r = lookup(g_requests, request);
    if (!r)
        return fail(st::kInvalidHandle);
    if (r->state == proto::state::kCreated)
        return fail(st::kWrongRequestState); // never posted: it would never finish
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (r->state != proto::state::kDone) {
        if (g_done.wait_until(lock, until) == std::cv_status::timeout && r->state != proto::state::kDone)
            return st::kNotCompleted;
    }
    return 0;
}

VNK_EXPORT VNK_RESULT VNK_GetRequestStatus(VNK_HANDLE request)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto r = lookup(g_requests, request);
    if (!r)
        return fail(st::kInvalidHandle);
    return r->state == proto::state::kDone ? r->status : st::kNotCompleted;
}

VNK_EXPORT unsigned int VNK_GetRequestState(VNK_HANDLE request)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto r = lookup(g_requests, request);
    if (!r)
        return fail(st::kInvalidHandle);
    return r->state;
}

VNK_EXPORT unsigned int VNK_GetRequestCommandSerial(VNK_HANDLE request)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto r = lookup(g_requests, request);
    if (!r)
        return fail(st::kInvalidHandle), 0;
    return r->serial;
}

VNK_EXPORT unsigned int VNK_GetRequestAge(VNK_HANDLE request)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto r = lookup(g_requests, request);
    if (!r)
        return fail(st::kInvalidHandle), 0;
    if (r->state == proto::state::kCreated)
        return 0;
    return unsigned(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - r->posted).count());
}

VNK_EXPORT unsigned int VNK_GetRequestCount(VNK_HANDLE open)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto o = lookup(g_opens, open);
    if (!o)
        return fail(st::kInvalidHandle), 0;
    return unsigned(o->queued.size() + o->inFlight.size());
}

VNK_EXPORT VNK_RESULT VNK_PopResponseValue(VNK_HANDLE request, char *name, char *value, unsigned int valueMax)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto r = lookup(g_requests, request);
    if (!r)
        return fail(st::kInvalidHandle);
    if (!name || !value)
        return fail(st::kInvalidArgument);
    if (r->state != proto::state::kDone)
        return fail(st::kNotCompleted);
    if (r->popped >= r->fields.size())
        return st::kNoMoreValues;
    const proto::Field &f = r->fields[r->popped];
    if (const std::uint32_t e = copyOut(f.value, value, valueMax))
        return fail(e); // the pair stays for a larger buffer
    copyOut(f.name, name, unsigned(proto::kMaxNameLength));
    ++r->popped;
    return 0;
}

VNK_EXPORT VNK_RESULT VNK_GetResponseValue(VNK_HANDLE request, const char *name, char *value,
                                           unsigned int valueMax)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto r = lookup(g_requests, request);
    if (!r)
        return fail(st::kInvalidHandle);
    if (!name || !value)
        return fail(st::kInvalidArgument);
    if (r->state != proto::state::kDone)
        return fail(st::kNotCompleted);
    const proto::Field *f = proto::findField(r->fields, name);
    if (!f)
        return st::kNoSuchValue;
    return copyOut(f->value, value, valueMax);
}

VNK_EXPORT VNK_HANDLE VNK_GetNextResponse(VNK_HANDLE open)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto o = lookup(g_opens, open);
    if (!o)
        return fail(st::kInvalidHandle), nullptr;
    for (std::uintptr_t h : o->requests) {
        const auto it = g_requests.find(h);
        if (it != g_requests.end() && it->second->state == proto::state::kDone && !it->second->handedOut) {
            it->second->handedOut = true;
            return asHandle(h);
        }
    }
    return nullptr;
}

VNK_EXPORT VNK_RESULT VNK_GetPrnDeviceStatus(VNK_HANDLE open, unsigned int *deviceState)
{
    std::lock_guard<std::mutex> g(g_lock);
    auto o = lookup(g_opens, open);
    if (!o)
        return fail(st::kInvalidHandle);
    if (!deviceState)
        return fail(st::kInvalidArgument, &o->lastError);
    if (!o->haveDeviceState)
        return st::kNoSuchValue;
    *deviceState = o->deviceState;
    return 0;
}

namespace
{
// A library unloaded (or a process ending) with devices still open must not leave I/O threads running
// in unmapped code. Declared after the tables, so it is destroyed before them.
struct CloseAtUnload {
    ~CloseAtUnload()
    {
        std::vector<std::shared_ptr<OpenDevice>> open;
        {
            std::lock_guard<std::mutex> g(g_lock);
            for (const auto &o : g_opens)
                open.push_back(o.second);
            g_opens.clear();
        }
        for (const auto &o : open)
            closeOpen(o);
    }
} g_closeAtUnload;
} // namespace
