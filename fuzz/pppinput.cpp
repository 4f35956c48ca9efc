// Fuzzes what a PPP configuration's serial line delivers: the bytes go into
// the adapter's pppSerialInput exactly as the engine passes on what it reads.
// The first byte of an input chooses where the PC's session stands when the
// rest arrives:
//  - bit 0 clear: just opened, alone on the line, its output discarded; LCP
//    is negotiating, so the Configure-Request handling (lcp_reqci and the
//    nak/reject building) runs on the input;
//  - bit 0 set: up, after a full negotiation with a second session of the
//    adapter in this process (the device's end), which keeps answering what
//    the PC sends: LCP and IPCP renegotiation, echo, terminate, IPv4 input.
// Bit 1 set: the rest is frame contents (address and control field, protocol,
// information) separated by 0x7E, which the target frames itself with escapes
// and a valid check sequence, so that mutations reach the protocols instead
// of dying at the check; clear: the bytes go onto the line as they are.
// Bits 2-7 give the size of the pieces the line bytes are handed over in (0:
// all at once); after each piece the stack's clock moves on by a 100 ms tick.
// Every run ends with both sessions closed and the clock run on until their
// units are released, so nothing carries over to the next input.
#include "runtime/lwipport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" void fuzz_clock_advance(unsigned int ms);

namespace
{

struct End {
    std::vector<char> out; // written by this end, not yet delivered
    bool deliver = false;  // false: the line has nobody at its far end
    bool up = false;
    bool ended = false;
    quint32 ownAddress = 0;
    quint32 peerAddress = 0;
    int unit = -1;
};

End g_pc;
End g_device;

int sioWrite(void *handle, const quint8 *data, int len)
{
    auto *end = static_cast<End *>(handle);
    if (end->deliver)
        end->out.insert(end->out.end(), data, data + len);
    return len;
}

void status(void *ctx, int code, void *)
{
    auto *end = static_cast<End *>(ctx);
    if (code == 0)
        end->up = true;
    if (code <= -PPP_TERMINATION_OFFSET)
        end->ended = true;
}

void dataRequest(void *ctx, int param, void *arg)
{
    auto *end = static_cast<End *>(ctx);
    if (arg)
        *static_cast<quint32 *>(arg) =
            htonl(param == PPP_DATA_LOCAL_ADDRESS ? end->ownAddress : end->peerAddress);
}

void ipInput(void *, const char *, int) {}

// HDLC-like framing as a peer sends it: every control character escaped,
// the check sequence appended, a flag at both ends.
std::vector<char> frameContents(const uint8_t *data, size_t size)
{
    std::vector<char> line;
    auto put = [&line](uint8_t c) {
        if (c < 0x20 || c == 0x7e || c == 0x7d) {
            line.push_back(char(0x7d));
            c ^= 0x20;
        }
        line.push_back(char(c));
    };
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0x7e)
            continue;
        quint16 fcs = 0xffff;
        line.push_back(char(0x7e));
        for (size_t j = start; j < i; ++j) {
            fcs ^= data[j];
            for (int b = 0; b < 8; ++b)
                fcs = (fcs & 1) ? quint16((fcs >> 1) ^ 0x8408) : quint16(fcs >> 1);
            put(data[j]);
        }
        fcs ^= 0xffff;
        put(uint8_t(fcs & 0xff));
        put(uint8_t(fcs >> 8));
        line.push_back(char(0x7e));
        start = i + 1;
    }
    return line;
}

void deliver(End &from, End &to)
{
    if (from.out.empty())
        return;
    std::vector<char> bytes;
    bytes.swap(from.out);
    if (to.unit >= 0)
        pppSerialInput(to.unit, bytes.data(), int(bytes.size()));
}

// Hands what each end wrote to the other until the line is quiet (bounded:
// two sessions could in principle answer each other for ever).
void pump()
{
    for (int i = 0; i < 64 && !(g_pc.out.empty() && g_device.out.empty()); ++i) {
        deliver(g_pc, g_device);
        deliver(g_device, g_pc);
    }
    g_pc.out.clear();
    g_device.out.clear();
}

void tick()
{
    fuzz_clock_advance(100);
    pppCheckTimeouts();
    pump();
}

int openEnd(End &end, quint32 own, quint32 peer, bool deliverOutput)
{
    end = End();
    end.ownAddress = own;
    end.peerAddress = peer;
    end.deliver = deliverOutput;
    end.unit = pppOverSerialOpen(&end, status, dataRequest, ipInput, &end);
    return end.unit;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    pppInit();
    pppSetAuth(PppAuthNone, "", "");
    sioSetWriteHook(sioWrite);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const bool linked = data[0] & 1;
    const bool framed = data[0] & 2;
    const size_t piece = data[0] >> 2;
    ++data;
    --size;
    std::vector<char> line;
    if (framed)
        line = frameContents(data, size);
    else
        line.assign(data, data + size);

    pppInit(); // reseeds: the same magic numbers and identifiers every run
    if (openEnd(g_pc, 0x0a0a0a14, 0x0a0a0a0a, linked) < 0) {
        std::fprintf(stderr, "no session could be opened\n");
        std::abort();
    }
    g_device = End();
    if (linked) {
        openEnd(g_device, 0x0a0a0a0a, 0x0a0a0a14, true);
        pump();
        for (int i = 0; i < 100 && !(g_pc.up && g_device.up); ++i)
            tick();
        if (!g_pc.up || !g_device.up) {
            std::fprintf(stderr, "two sessions of the adapter did not come up\n");
            std::abort();
        }
    }

    for (size_t at = 0; at < line.size() && !g_pc.ended;) {
        const size_t n = piece ? std::min(piece, line.size() - at) : line.size() - at;
        pppSerialInput(g_pc.unit, line.data() + at, int(n));
        at += n;
        pump();
        tick();
    }
    // A few seconds of the stack's own timers on what the input left.
    for (int i = 0; i < 40 && !g_pc.ended; ++i)
        tick();

    pppClose(g_pc.unit);
    if (g_device.unit >= 0)
        pppClose(g_device.unit);
    // Unanswered Terminate-Requests take two 3 s timeouts; one minute of
    // stack time is far beyond anything a session may need to end.
    for (int i = 0; i < 600 && pppSessionsInUse() > 0; ++i)
        tick();
    if (pppSessionsInUse() != 0 || !g_pc.ended) {
        std::fprintf(stderr, "a closed session was never released (in use %d, ended %d)\n",
                     pppSessionsInUse(), int(g_pc.ended));
        std::abort();
    }
    return 0;
}
