// The framed request/response protocol between the PC (libvarnok) and a Tavrel device (or its
// simulator), as described in docs/device-protocol.md. Plain C++17: frames, requests, responses,
// the commands' parameter rules, the status codes with their Polish texts and the Windows-1250
// conversion. No I/O and no global state; every function is safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace varnok::protocol
{

// ---- Framing ----------------------------------------------------------------------------------
// STX type seq(4 hex) len(4 hex) payload crc(4 hex) ETX; everything between STX and ETX is printable
// ASCII (0x20..0x7E), so a frame is 7-bit clean and never holds XON (0x11) or XOFF (0x13).
constexpr char kFrameStart = '\x02';
constexpr char kFrameEnd = '\x03';
constexpr char kTypeRequest = 'Q';
constexpr char kTypeAnswer = 'A';
// Encoded payload bytes one frame may carry.
constexpr std::size_t kMaxPayload = 4000;
// STX + type + seq + len.
constexpr std::size_t kHeaderSize = 10;
// Header + payload + crc + ETX.
constexpr std::size_t kMaxFrame = kHeaderSize + kMaxPayload + 5;
// Parameter and field names: 1..31 bytes (the library's name buffer holds 32).
constexpr std::size_t kMaxNameLength = 31;

struct Frame {
    char type = kTypeRequest;
    std::uint16_t seq = 0;
    std::string payload; // encoded, printable ASCII
};

// CRC-16/CCITT-FALSE (polynomial 0x1021, initial 0xFFFF, no reflection, no final xor).
std::uint16_t crc16(std::string_view bytes);

// The frame's bytes; empty when it cannot be carried (unknown type, payload too long or holding a
// byte outside 0x20..0x7E).
std::string encodeFrame(const Frame &frame);

// Cuts frames out of a byte stream fed in pieces of any size. Bytes outside a frame, and frames that
// are malformed, too long or fail the checksum, are dropped; the search for the next frame start then
// continues right after the dropped frame's start, so one good frame after garbage is always found.
class FrameDecoder
{
public:
    void feed(const char *data, std::size_t size);
    void feed(std::string_view bytes) { feed(bytes.data(), bytes.size()); }
    // Takes the oldest complete frame; false when none is waiting.
    bool next(Frame *frame);
    std::size_t pending() const { return m_frames.size(); }
    // Bytes dropped outside frames or with a rejected frame, and frames rejected.
    std::uint64_t discardedBytes() const { return m_discarded; }
    std::uint64_t rejectedFrames() const { return m_rejected; }
    // Forgets a partial frame and the frames not yet taken (the counters stay).
    void reset();

private:
    void scan();
    std::string m_buffer;
    std::deque<Frame> m_frames;
    std::uint64_t m_discarded = 0;
    std::uint64_t m_rejected = 0;
};

// ---- Requests and responses -------------------------------------------------------------------
// Values are the raw bytes as the device keeps them: Windows-1250 text.
struct Field {
    std::string name;
    std::string value;
    bool operator==(const Field &o) const { return name == o.name && value == o.value; }
};

struct Request {
    std::uint16_t seq = 0; // the request's command serial
    std::string command;
    std::vector<Field> params;
};

struct Response {
    std::uint16_t seq = 0; // the serial of the request answered
    std::uint32_t status = 0;
    std::vector<Field> fields;
};

// Complete frames; empty when the request or response cannot be carried (bad command or name,
// payload over kMaxPayload).
std::string encodeRequest(const Request &request);
std::string encodeResponse(const Response &response);
// False for a frame of the other type or a payload that does not follow the grammar.
bool parseRequest(const Frame &frame, Request *request);
bool parseResponse(const Frame &frame, Response *response);

// The first field of that name, or null.
const Field *findField(const std::vector<Field> &fields, std::string_view name);

// Value escape: "\" and two upper-case hex digits for "\", ";" and every byte outside 0x20..0x7E.
std::string escapeValue(std::string_view raw);
// False on a broken escape or a byte that may not appear unescaped.
bool unescapeValue(std::string_view escaped, std::string *raw);
// Names: 1..31 bytes of letters, digits and "_". Commands: 1..31 bytes of letters, digits, "_" and
// "!".
bool validName(std::string_view name);
bool validCommand(std::string_view command);

// The library's parameter text: pairs "name,value" joined by line feeds (no trailing one); the value
// is everything after the first comma. An empty text is no pairs. False for a pair without a comma or
// with a name validName refuses.
bool parseParamText(std::string_view text, std::vector<Field> *fields);
std::string paramText(const std::vector<Field> &fields);

// ---- Windows-1250 -----------------------------------------------------------------------------
// Every byte maps to one character (the five bytes Windows-1250 leaves undefined map to the C1
// control characters of the same number), so bytes survive a round trip unchanged.
std::string cp1250ToUtf8(std::string_view bytes);
// Characters Windows-1250 lacks, and broken UTF-8 sequences, become "?"; *exact tells whether any did.
std::string utf8ToCp1250(std::string_view utf8, bool *exact = nullptr);

// ---- Commands ---------------------------------------------------------------------------------
namespace command
{
constexpr char kStatus[] = "!sdev";
constexpr char kIdentity[] = "sid";
constexpr char kComGet[] = "comcfgget";
constexpr char kComSet[] = "comcfgset";
constexpr char kPcGet[] = "pccfgget";
constexpr char kPcSet[] = "pccfgset";
constexpr char kTrLogGet[] = "trlogget";
constexpr char kTrLogSet[] = "trlogset";
constexpr char kTcpIpGet[] = "tcpipcfgget";
constexpr char kTcpIpSet[] = "tcpipcfgset";
constexpr char kTunnelGet[] = "tunnelget";
constexpr char kTunnelSet[] = "tunnelset";
} // namespace command

// Checks a request against the command table of docs/device-protocol.md: 0 when the device carries
// it out, else the device status it answers with (unknown command, unknown parameter, missing
// parameter, value out of range). Repeated parameters: the last one counts.
std::uint32_t checkRequest(const Request &request);

// ---- Status codes -----------------------------------------------------------------------------
namespace status
{
constexpr std::uint32_t kOk = 0;
// Reported by the library.
constexpr std::uint32_t kInvalidArgument = 0x10001;
constexpr std::uint32_t kInvalidHandle = 0x10002;
constexpr std::uint32_t kNoAnswer = 0x10003;
constexpr std::uint32_t kPortOpenFailed = 0x10004;
constexpr std::uint32_t kBadLineSettings = 0x10005;
constexpr std::uint32_t kNotOpen = 0x10006;
constexpr std::uint32_t kLineLost = 0x10007;
constexpr std::uint32_t kWrongRequestState = 0x10008;
constexpr std::uint32_t kRequestTooLong = 0x10009;
constexpr std::uint32_t kDeviceClosed = 0x1000A;
constexpr std::uint32_t kUnknownParamId = 0x1000B;
constexpr std::uint32_t kBadParamText = 0x1000C;
constexpr std::uint32_t kTooManyRequests = 0x1000D;
constexpr std::uint32_t kNotCompleted = 0x1000E;
constexpr std::uint32_t kNoMoreValues = 0x1000F;
constexpr std::uint32_t kBufferTooSmall = 0x10010;
constexpr std::uint32_t kUnsupportedDeviceType = 0x10011;
constexpr std::uint32_t kNoSuchValue = 0x10012;
// Answered by the device.
constexpr std::uint32_t kUnknownCommand = 0x30001;
constexpr std::uint32_t kMissingParam = 0x30002;
constexpr std::uint32_t kBadParamValue = 0x30003;
constexpr std::uint32_t kUnknownParam = 0x30004;
constexpr std::uint32_t kDeviceBusy = 0x30005;
constexpr std::uint32_t kNotAllowed = 0x30006;
constexpr std::uint32_t kDeviceFault = 0x30007;
} // namespace status

// The Polish text of a status (UTF-8), or null for a code without one.
const char *statusText(std::uint32_t code);

// Request states (VNK_GetRequestState).
namespace state
{
constexpr std::uint32_t kCreated = 0x18FFF; // not posted yet
constexpr std::uint32_t kQueued = 0x19000;  // posted, waiting for the line
constexpr std::uint32_t kSent = 0x19001;    // on the line, waiting for the answer
constexpr std::uint32_t kDone = 0x19002;    // finished; its status says how
} // namespace state

// Bits one character takes on the line (start + data + parity + stop).
inline unsigned lineBitsPerChar(unsigned dataBits, bool parity, unsigned stopBits)
{
    return 1 + dataBits + (parity ? 1 : 0) + stopBits;
}

} // namespace varnok::protocol
