// A stand-in control library for the unit tests of VSPInterface: records
// every call with its arguments and answers as the test scripts it.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace
{
std::string g_log;
std::vector<unsigned char> g_answer(4, 0);
uint32_t g_failures[8] = {0}; // per operation: the error to fail with, 0 = succeed
uint32_t g_result = 1;        // what a successful call returns

std::string hex(const void *data, uint32_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint32_t i = 0; i < size; ++i) {
        const unsigned char b = static_cast<const unsigned char *>(data)[i];
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

int finish(int op)
{
    if (g_failures[op] != 0) {
        errno = int(g_failures[op]);
        return 0x100; // the low byte is zero: a failure, whatever the upper bits say
    }
    return int(g_result);
}
} // namespace

FAKE_EXPORT void FakeReset()
{
    g_log.clear();
    g_answer.assign(4, 0);
    std::memset(g_failures, 0, sizeof g_failures);
    g_result = 1;
}
FAKE_EXPORT const char *FakeLog()
{
    return g_log.c_str();
}
FAKE_EXPORT void FakeSetAnswer(const void *data, uint32_t size)
{
    g_answer.assign(static_cast<const unsigned char *>(data),
                    static_cast<const unsigned char *>(data) + size);
}
FAKE_EXPORT void FakeFail(int op, uint32_t error)
{
    g_failures[op] = error;
}
FAKE_EXPORT void FakeSetResult(uint32_t result)
{
    g_result = result;
}

FAKE_EXPORT int SetStrictBaudrate(const char *port, uint32_t strict)
{
    g_log += "SetStrictBaudrate " + std::string(port) + " " + std::to_string(strict) + "\n";
    return finish(0);
}

FAKE_EXPORT int QueryBus(const void *request, uint32_t requestSize, void *buffer, uint32_t size)
{
    g_log += "QueryBus " + hex(request, requestSize) + " " + std::to_string(size) + "\n";
    if (g_failures[1] != 0)
        return finish(1);
    if (size < g_answer.size()) {
        errno = 122;
        return 0;
    }
    std::memcpy(buffer, g_answer.data(), g_answer.size());
    return finish(1);
}

FAKE_EXPORT int CreatePair(const char *first, const char *second)
{
    g_log += "CreatePair '" + std::string(first) + "' '" + std::string(second) + "'\n";
    return finish(2);
}

FAKE_EXPORT int DeletePair(const char *port)
{
    g_log += "DeletePair " + std::string(port) + "\n";
    return finish(3);
}

#ifndef FAKE_PARTIAL
FAKE_EXPORT int SetBreak(const char *, int)
{
    g_log += "SetBreak\n";
    return finish(4);
}
#endif

FAKE_EXPORT int SetWiring(const char *port, const void *mask, uint32_t size)
{
    g_log += "SetWiring " + std::string(port) + " " + hex(mask, size) + " " + std::to_string(size) + "\n";
    return finish(5);
}

#ifndef FAKE_PARTIAL
FAKE_EXPORT int DeleteAll()
{
    g_log += "DeleteAll\n";
    if (std::getenv("FAKE_DELETEALL_FAILS")) // the cleanup tool runs this library in its own process
        return 0;
    return finish(6);
}
#endif
