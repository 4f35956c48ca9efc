// The messages between the control library and the port driver daemon on
// its Unix socket. One request per connection: the client sends a request,
// the daemon answers and closes.
//
//   request:  u32 total length, u32 operation, fields...
//   answer:   u32 total length, u32 error (0 = success, else a Windows error number), fields...
//   fields:   u32 little-endian numbers; strings as u32 byte count + bytes (8-bit port names)
//
// The list answer carries u32 port count, then per port: u32 instance,
// u32 connected-to instance, string name. The path answer carries the
// device path of the terminal behind the named end.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vspd
{

enum Operation : uint32_t {
    OpPing = 1,
    OpCreatePair = 2, // string first, string second
    OpDeletePair = 3, // string name
    OpSetStrict = 4,  // string name, u32 flag
    OpSetWiring = 5,  // string name, u32 mask
    OpSetBreak = 6,   // string name, u32 on
    OpDeleteAll = 7,
    OpListPorts = 8,
    OpPortPath = 9, // string name -> string device path
};

// Windows error numbers the callers test for.
enum Error : uint32_t {
    ErrSuccess = 0,
    ErrFileNotFound = 2,
    ErrAccessDenied = 5,
    ErrNotEnoughMemory = 8,
    ErrInvalidParameter = 87,
    ErrInsufficientBuffer = 122,
    ErrInvalidName = 123,
    ErrAlreadyExists = 183,
    ErrServiceRequestTimeout = 1053,
    ErrServiceNotActive = 1062,
};

constexpr uint32_t kMaxMessage = 1u << 20;
constexpr size_t kMaxPortName = 64;

class Writer
{
public:
    explicit Writer(uint32_t head) { u32(0), u32(head); }
    Writer &u32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            m_bytes.push_back(char((v >> (8 * i)) & 0xFF));
        return *this;
    }
    Writer &str(const std::string &s)
    {
        u32(uint32_t(s.size()));
        m_bytes.insert(m_bytes.end(), s.begin(), s.end());
        return *this;
    }
    // The finished message with its length filled in.
    const std::vector<char> &bytes()
    {
        const uint32_t n = uint32_t(m_bytes.size());
        for (int i = 0; i < 4; ++i)
            m_bytes[size_t(i)] = char((n >> (8 * i)) & 0xFF);
        return m_bytes;
    }

private:
    std::vector<char> m_bytes;
};

class Reader
{
public:
    Reader(const char *data, size_t size) : m_data(data), m_size(size) {}
    bool u32(uint32_t *v)
    {
        if (m_size - m_pos < 4)
            return false;
        *v = 0;
        for (int i = 0; i < 4; ++i)
            *v |= uint32_t(uint8_t(m_data[m_pos + size_t(i)])) << (8 * i);
        m_pos += 4;
        return true;
    }
    bool str(std::string *s)
    {
        uint32_t n;
        if (!u32(&n) || m_size - m_pos < n)
            return false;
        s->assign(m_data + m_pos, n);
        m_pos += n;
        return true;
    }
    bool atEnd() const { return m_pos == m_size; }

private:
    const char *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// The one upper case of port names for every comparison the driver makes: an
// 8-bit (Latin-1) name with a-z and the Latin-1 small letters that have a
// capital in Latin-1 folded, as QString::toUpper folds them on the caller's side.
inline std::string upperName(const std::string &name)
{
    std::string u = name;
    for (char &c : u) {
        const unsigned char b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7))
            c = char(b - 0x20);
    }
    return u;
}

// A name that can safely become a file name in the ports folder: not empty,
// at most 64 characters, no "/", no "..", no control characters, not ".".
inline bool validPortName(const std::string &name)
{
    if (name.empty() || name.size() > kMaxPortName || name == "." || name.find("..") != std::string::npos)
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == '/')
            return false;
    return true;
}

} // namespace vspd
