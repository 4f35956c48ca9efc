#include "varnok/protocol/deviceprotocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace varnok::protocol
{

namespace
{

const char kHex[] = "0123456789ABCDEF";

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // lower case is not written, so it is not read either
}

// Four upper-case hex digits; false for anything else.
bool readHex4(std::string_view s, std::uint16_t *value)
{
    if (s.size() != 4)
        return false;
    unsigned v = 0;
    for (char c : s) {
        const int d = hexDigit(c);
        if (d < 0)
            return false;
        v = (v << 4) | unsigned(d);
    }
    *value = std::uint16_t(v);
    return true;
}

void appendHex(std::string *out, std::uint32_t value, int digits)
{
    for (int i = digits - 1; i >= 0; --i)
        out->push_back(kHex[(value >> (4 * i)) & 0xF]);
}

bool printable(unsigned char c)
{
    return c >= 0x20 && c <= 0x7E;
}

bool nameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The pairs after the first element of a payload: ";name=value" repeated.
bool parsePairs(std::string_view rest, std::vector<Field> *fields)
{
    fields->clear();
    while (!rest.empty()) {
        if (rest.front() != ';')
            return false;
        rest.remove_prefix(1);
        const std::size_t end = std::min(rest.find(';'), rest.size());
        const std::string_view pair = rest.substr(0, end);
        rest.remove_prefix(end);
        const std::size_t eq = pair.find('=');
        if (eq == std::string_view::npos || !validName(pair.substr(0, eq)))
            return false;
        Field f;
        f.name = std::string(pair.substr(0, eq));
        if (!unescapeValue(pair.substr(eq + 1), &f.value))
            return false;
        fields->push_back(std::move(f));
    }
    return true;
}

bool appendPairs(std::string *payload, const std::vector<Field> &fields)
{
    for (const Field &f : fields) {
        if (!validName(f.name))
            return false;
        payload->push_back(';');
        payload->append(f.name);
        payload->push_back('=');
        payload->append(escapeValue(f.value));
    }
    return true;
}

const std::uint16_t kCp1250High[128] = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021, 0x0088, 0x2030, 0x0160, 0x2039, 0x015A,
    0x0164, 0x017D, 0x0179, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122,
    0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C, 0x0154,
    0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD,
    0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA,
    0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4,
    0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

void appendUtf8(std::string *out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out->push_back(char(cp));
    } else if (cp < 0x800) {
        out->push_back(char(0xC0 | (cp >> 6)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(char(0xE0 | (cp >> 12)));
        out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    }
}

// ---- command table ----

bool inList(std::string_view v, std::initializer_list<const char *> list)
{
    for (const char *s : list)
        if (v == s)
            return true;
    return false;
}

bool decimalIn(std::string_view v, long lo, long hi)
{
    if (v.empty() || v.size() > 9)
        return false;
    long n = 0;
    for (char c : v) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    // "0" alone, never leading zeros: one spelling per value keeps answers byte-exact.
    if (v.size() > 1 && v.front() == '0')
        return false;
    return n >= lo && n <= hi;
}

bool ipv4(std::string_view v, std::uint32_t *out = nullptr)
{
    std::uint32_t addr = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = i < 3 ? v.find('.') : v.size();
        if (dot == std::string_view::npos || !decimalIn(v.substr(0, dot), 0, 255))
            return false;
        long n = 0;
        for (char c : v.substr(0, dot))
            n = n * 10 + (c - '0');
        addr = (addr << 8) | std::uint32_t(n);
        v.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    if (out)
        *out = addr;
    return v.empty();
}

bool netmask(std::string_view v)
{
    std::uint32_t m = 0;
    if (!ipv4(v, &m))
        return false;
    const std::uint32_t inverted = ~m;
    return (inverted & (inverted + 1)) == 0; // ones, then zeros
}

bool flag(std::string_view v)
{
    return inList(v, {"0", "1", "T", "F"});
}

struct Rule {
    const char *name;
    bool required;
    bool (*ok)(std::string_view);
};

bool comNo(std::string_view v)
{
    return inList(v, {"1", "2"});
}
bool baud(std::string_view v)
{
    return inList(v, {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"});
}
bool stopBits(std::string_view v)
{
    return inList(v, {"1", "2"});
}
bool dataBits(std::string_view v)
{
    return inList(v, {"7", "8"});
}
bool parity(std::string_view v)
{
    return inList(v, {"0", "1", "2"});
}
bool flow(std::string_view v)
{
    return inList(v, {"0", "1", "2", "3"});
}
bool tcpPort(std::string_view v)
{
    return decimalIn(v, 1, 65535);
}
bool tunnelSlot(std::string_view v)
{
    return inList(v, {"0", "1"});
}
bool pcId(std::string_view v)
{
    return inList(v, {"1", "2", "4"});
}
bool trLogId(std::string_view v)
{
    return inList(v, {"0", "1", "2", "4"});
}
bool tcpIpId(std::string_view v)
{
    return inList(v, {"0", "1", "2", "3"});
}
bool anyPortNo(std::string_view v)
{
    return decimalIn(v, 0, 65535);
}
bool address(std::string_view v)
{
    return ipv4(v);
}

struct CommandRules {
    const char *command;
    std::vector<Rule> rules;
};

const std::vector<CommandRules> &commandTable()
{
    static const std::vector<CommandRules> table = {
        {command::kStatus, {}},
        {command::kIdentity, {}},
        {command::kComGet, {{"no", true, comNo}}},
        {command::kComSet,
         {{"no", true, comNo},
          {"sp", false, baud},
          {"st", false, stopBits},
          {"da", false, dataBits},
          {"pa", false, parity},
          {"fl", false, flow}}},
        {command::kPcGet, {}},
        {command::kPcSet, {{"id", true, pcId}, {"no", false, anyPortNo}}},
        {command::kTrLogGet, {}},
        {command::kTrLogSet, {{"id", true, trLogId}, {"no", false, anyPortNo}}},
        {command::kTcpIpGet, {}},
        {command::kTcpIpSet,
         {{"id", true, tcpIpId},
          {"no", false, anyPortNo},
          {"dh", false, flag},
          {"ip", false, address},
          {"ge", false, address},
          {"ma", false, netmask}}},
        {command::kTunnelGet, {{"sp", true, tunnelSlot}}},
        {command::kTunnelSet,
         {{"sp", true, tunnelSlot}, {"en", false, flag}, {"da", false, tcpPort}, {"di", false, tcpPort}}},
    };
    return table;
}

// The port number a PC-interface or log channel needs: the COM number on RS232, the TCP port on
// TCP/IP, nothing on USB or when off.
bool channelNoOk(const std::string &id, const Field *no)
{
    if (id == "1")
        return no && comNo(no->value);
    if (id == "4")
        return no && tcpPort(no->value);
    return true;
}

} // namespace

std::uint16_t crc16(std::string_view bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (unsigned char b : bytes) {
        crc ^= std::uint16_t(b << 8);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? std::uint16_t((crc << 1) ^ 0x1021) : std::uint16_t(crc << 1);
    }
    return crc;
}

std::string encodeFrame(const Frame &frame)
{
    if (frame.type != kTypeRequest && frame.type != kTypeAnswer)
        return {};
    if (frame.payload.size() > kMaxPayload)
        return {};
    for (unsigned char c : frame.payload)
        if (!printable(c))
            return {};
    std::string out;
    out.reserve(kHeaderSize + frame.payload.size() + 5);
    out.push_back(kFrameStart);
    out.push_back(frame.type);
    appendHex(&out, frame.seq, 4);
    appendHex(&out, std::uint32_t(frame.payload.size()), 4);
    out.append(frame.payload);
    appendHex(&out, crc16(std::string_view(out).substr(1)), 4);
    out.push_back(kFrameEnd);
    return out;
}

void FrameDecoder::feed(const char *data, std::size_t size)
{
    if (!data || size == 0)
        return;
    m_buffer.append(data, size);
    scan();
}

void FrameDecoder::scan()
{
    std::size_t pos = 0;
    for (;;) {
        // Up to the next frame start everything is garbage.
        const std::size_t start = m_buffer.find(kFrameStart, pos);
        if (start == std::string::npos) {
            m_discarded += m_buffer.size() - pos;
            pos = m_buffer.size();
            break;
        }
        m_discarded += start - pos;
        pos = start;
        const std::string_view rest = std::string_view(m_buffer).substr(start);
        // Drops this start and looks again from the byte after it.
        auto reject = [&](std::size_t dropped) {
            ++m_rejected;
            m_discarded += dropped;
            pos = start + dropped;
        };
        // A control byte inside the header or payload ends the frame early (a new start or noise).
        std::size_t scanned = 1;
        bool broken = false;
        const std::size_t limit = std::min(rest.size(), kMaxFrame);
        for (; scanned < limit; ++scanned) {
            const unsigned char c = static_cast<unsigned char>(rest[scanned]);
            if (c == static_cast<unsigned char>(kFrameEnd))
                break;
            if (!printable(c)) {
                broken = true;
                break;
            }
        }
        if (broken) {
            reject(scanned); // the offending byte is looked at again as a possible start
            continue;
        }
        if (scanned == limit) {
            if (rest.size() >= kMaxFrame) {
                reject(1); // no end within the longest frame
                continue;
            }
            break; // incomplete; wait for more bytes
        }
        // rest[0..scanned] is STX ... ETX.
        const std::size_t frameLen = scanned + 1;
        std::uint16_t seq = 0, len = 0, crc = 0;
        const char type = rest.size() > 1 ? rest[1] : 0;
        if (frameLen < kHeaderSize + 5 || (type != kTypeRequest && type != kTypeAnswer) ||
            !readHex4(rest.substr(2, 4), &seq) || !readHex4(rest.substr(6, 4), &len) || len > kMaxPayload ||
            frameLen != kHeaderSize + len + 5 || !readHex4(rest.substr(kHeaderSize + len, 4), &crc) ||
            crc != crc16(rest.substr(1, kHeaderSize - 1 + len))) {
            reject(1);
            continue;
        }
        Frame f;
        f.type = type;
        f.seq = seq;
        f.payload = std::string(rest.substr(kHeaderSize, len));
        m_frames.push_back(std::move(f));
        pos = start + frameLen;
    }
    m_buffer.erase(0, pos);
}

bool FrameDecoder::next(Frame *frame)
{
    if (m_frames.empty())
        return false;
    if (frame)
        *frame = std::move(m_frames.front());
    m_frames.pop_front();
    return true;
}

void FrameDecoder::reset()
{
    m_buffer.clear();
    m_frames.clear();
}

std::string encodeRequest(const Request &request)
{
    if (!validCommand(request.command))
        return {};
    Frame f;
    f.type = kTypeRequest;
    f.seq = request.seq;
    f.payload = request.command;
    if (!appendPairs(&f.payload, request.params))
        return {};
    return encodeFrame(f);
}

std::string encodeResponse(const Response &response)
{
    Frame f;
    f.type = kTypeAnswer;
    f.seq = response.seq;
    appendHex(&f.payload, response.status, 8);
    if (!appendPairs(&f.payload, response.fields))
        return {};
    return encodeFrame(f);
}

bool parseRequest(const Frame &frame, Request *request)
{
    if (frame.type != kTypeRequest || !request)
        return false;
    const std::string_view p(frame.payload);
    const std::size_t end = std::min(p.find(';'), p.size());
    if (!validCommand(p.substr(0, end)))
        return false;
    request->seq = frame.seq;
    request->command = std::string(p.substr(0, end));
    return parsePairs(p.substr(end), &request->params);
}

bool parseResponse(const Frame &frame, Response *response)
{
    if (frame.type != kTypeAnswer || !response)
        return false;
    const std::string_view p(frame.payload);
    if (p.size() < 8)
        return false;
    std::uint16_t hi = 0, lo = 0;
    if (!readHex4(p.substr(0, 4), &hi) || !readHex4(p.substr(4, 4), &lo))
        return false;
    response->seq = frame.seq;
    response->status = (std::uint32_t(hi) << 16) | lo;
    return parsePairs(p.substr(8), &response->fields);
}

const Field *findField(const std::vector<Field> &fields, std::string_view name)
{
    for (const Field &f : fields)
        if (f.name == name)
            return &f;
    return nullptr;
}

std::string escapeValue(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    for (unsigned char c : raw) {
        if (!printable(c) || c == '\\' || c == ';') {
            out.push_back('\\');
            appendHex(&out, c, 2);
        } else {
            out.push_back(char(c));
        }
    }
    return out;
}

bool unescapeValue(std::string_view escaped, std::string *raw)
{
    std::string out;
    out.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(escaped[i]);
        if (c == ';' || !printable(c))
            return false;
        if (c != '\\') {
            out.push_back(char(c));
            continue;
        }
        if (i + 2 >= escaped.size())
            return false;
        const int h = hexDigit(escaped[i + 1]), l = hexDigit(escaped[i + 2]);
        if (h < 0 || l < 0)
            return false;
        out.push_back(char((h << 4) | l));
        i += 2;
    }
    if (raw)
        *raw = std::move(out);
    return true;
}

bool validName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxNameLength)
        return false;
    return std::all_of(name.begin(), name.end(), nameChar);
}

bool validCommand(std::string_view command)
{
    if (command.empty() || command.size() > kMaxNameLength)
        return false;
    return std::all_of(command.begin(), command.end(), [](char c) { return nameChar(c) || c == '!'; });
}

bool parseParamText(std::string_view text, std::vector<Field> *fields)
{
    std::vector<Field> out;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end < text.size() ? end + 1 : end);
        const std::size_t comma = line.find(',');
        if (comma == std::string_view::npos || !validName(line.substr(0, comma)))
            return false;
        out.push_back({std::string(line.substr(0, comma)), std::string(line.substr(comma + 1))});
    }
    if (fields)
        *fields = std::move(out);
    return true;
}

std::string paramText(const std::vector<Field> &fields)
{
    std::string out;
    for (const Field &f : fields) {
        if (!out.empty())
            out.push_back('\n');
        out.append(f.name).push_back(',');
        out.append(f.value);
    }
    return out;
}

std::string cp1250ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes)
        appendUtf8(&out, c < 0x80 ? c : kCp1250High[c - 0x80]);
    return out;
}

std::string utf8ToCp1250(std::string_view utf8, bool *exact)
{
    std::string out;
    out.reserve(utf8.size());
    bool allExact = true;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp = 0;
        std::size_t len = 0;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
        }
        bool ok = len > 0 && i + len <= utf8.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(utf8[i + k]);
            if ((cc & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (cc & 0x3F);
        }
        if (!ok) {
            out.push_back('?');
            allExact = false;
            ++i;
            continue;
        }
        i += len;
        if (cp < 0x80) {
            out.push_back(char(cp));
            continue;
        }
        const std::uint16_t *found = std::find(std::begin(kCp1250High), std::end(kCp1250High), cp);
        if (cp <= 0xFFFF && found != std::end(kCp1250High)) {
            out.push_back(char(0x80 + (found - std::begin(kCp1250High))));
        } else {
            out.push_back('?');
            allExact = false;
        }
    }
    if (exact)
        *exact = allExact;
    return out;
}

std::uint32_t checkRequest(const Request &request)
{
    const auto &table = commandTable();
    const auto cmd = std::find_if(table.begin(), table.end(),
                                  [&](const CommandRules &c) { return request.command == c.command; });
    if (cmd == table.end())
        return status::kUnknownCommand;
    // The last occurrence of a parameter counts.
    auto last = [&](const char *name) -> const Field * {
        const Field *found = nullptr;
        for (const Field &f : request.params)
            if (f.name == name)
                found = &f;
        return found;
    };
    for (const Field &f : request.params) {
        const bool known = std::any_of(cmd->rules.begin(), cmd->rules.end(),
                                       [&](const Rule &r) { return f.name == r.name; });
        if (!known)
            return status::kUnknownParam;
    }
    for (const Rule &r : cmd->rules) {
        const Field *f = last(r.name);
        if (!f) {
            if (r.required)
                return status::kMissingParam;
            continue;
        }
        if (!r.ok(f->value))
            return status::kBadParamValue;
    }
    if (request.command == command::kPcSet || request.command == command::kTrLogSet) {
        const Field *no = last("no");
        if (!channelNoOk(last("id")->value, no))
            return no ? status::kBadParamValue : status::kMissingParam;
    }
    if (request.command == command::kTcpIpSet && last("id")->value == "1") {
        const Field *no = last("no");
        if (!no)
            return status::kMissingParam;
        if (!comNo(no->value))
            return status::kBadParamValue;
    }
    return status::kOk;
}

const char *statusText(std::uint32_t code)
{
    switch (code) {
    case status::kOk:
        return "Polecenie wykonane poprawnie.";
    case status::kInvalidArgument:
        return "Nieprawidłowy argument wywołania.";
    case status::kInvalidHandle:
        return "Nieprawidłowy uchwyt.";
    case status::kNoAnswer:
        return "Urządzenie nie odpowiada.";
    case status::kPortOpenFailed:
        return "Nie można otworzyć portu szeregowego.";
    case status::kBadLineSettings:
        return "Nieprawidłowe parametry portu szeregowego.";
    case status::kNotOpen:
        return "Urządzenie nie jest otwarte.";
    case status::kLineLost:
        return "Utracono połączenie z urządzeniem.";
    case status::kWrongRequestState:
        return "Żądanie jest w niewłaściwym stanie.";
    case status::kRequestTooLong:
        return "Żądanie przekracza dopuszczalną długość.";
    case status::kDeviceClosed:
        return "Urządzenie zostało zamknięte przed zakończeniem żądania.";
    case status::kUnknownParamId:
        return "Nieznany parametr urządzenia.";
    case status::kBadParamText:
        return "Nieprawidłowy tekst parametrów żądania.";
    case status::kTooManyRequests:
        return "Zbyt wiele oczekujących żądań.";
    case status::kNotCompleted:
        return "Żądanie nie zostało jeszcze zakończone.";
    case status::kNoMoreValues:
        return "Brak kolejnych wartości odpowiedzi.";
    case status::kBufferTooSmall:
        return "Bufor jest zbyt mały na wartość odpowiedzi.";
    case status::kUnsupportedDeviceType:
        return "Nieobsługiwany typ urządzenia.";
    case status::kNoSuchValue:
        return "Odpowiedź nie zawiera takiej wartości.";
    case status::kUnknownCommand:
        return "Nieznana komenda.";
    case status::kMissingParam:
        return "Brak wymaganego parametru komendy.";
    case status::kBadParamValue:
        return "Nieprawidłowa wartość parametru komendy.";
    case status::kUnknownParam:
        return "Nieznany parametr komendy.";
    case status::kDeviceBusy:
        return "Urządzenie zajęte - w menu.";
    case status::kNotAllowed:
        return "Komenda niedozwolona w obecnym stanie urządzenia.";
    case status::kDeviceFault:
        return "Błąd wewnętrzny urządzenia.";
    default:
        return nullptr;
    }
}

} // namespace varnok::protocol
