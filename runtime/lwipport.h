// The binding between the PPP engine and lwIP's PPP-over-serial. It gives
// the engine the session calls it is built around (open a session over a
// serial handle, feed serial bytes, send a raw IPv4 packet, close, run the
// timers) and reports through plain callbacks:
//  - serial output goes through the write hook, always for the full count;
//  - every IPv4 packet from the link arrives whole, as one contiguous block;
//  - status 0 with the address block when IPCP comes up, -6 when it goes
//    down, and the termination report as the session's error code (or -8
//    when it had none) minus 64;
//  - the local address is asked from the data callback (parameter 0) when
//    IPCP opens, followed by the address to suggest to the peer (parameter 1).
// Everything here runs in one thread, the one that drives the timers.
//
// Driving it: pppInit and pppSetAuth(PppAuthNone, "", "") once, the write
// hook pointing at the engine's own output; pppOverSerialOpen after the port
// opened (the engine as serial handle and context); every chunk read from
// the port to pppSerialInput; captured packets to pppIpOutput; pppClose to
// stop; pppCheckTimeouts on a 100 ms tick. Calling pppClose again from the
// termination report (or for an ended unit) is harmless. A close answered by
// the peer ends at once; with a silent peer lwIP sends its Terminate-Request
// twice, 6 s apart, before the termination report comes; a link the peer
// ends after link-up is reported after lwIP's 6 s stopping wait.
#pragma once

#include <QtGlobal>

// Status codes of the callbacks (lwIP 1.4's numbering).
namespace PppErr
{
enum : int {
    None = 0,
    Param = -1,
    Open = -2,
    Device = -3,
    Alloc = -4,
    User = -5,
    Connect = -6,
    AuthFail = -7,
    Protocol = -8,
};
}

// Added to the code of the report that ends a session.
constexpr int PPP_TERMINATION_OFFSET = 64;

enum PppAuthType { PppAuthNone = 0, PppAuthPap = 1 };

// Results of pppIpOutput.
enum PppOutputResult {
    PPP_OUT_OK = 0,
    PPP_OUT_NO_MEMORY = -1,
    PPP_OUT_LINK_DOWN = -4,
    PPP_OUT_BAD_ARGS = -14
};

// Handed with status 0: all in network byte order.
struct PppAddrs {
    quint32 our_ipaddr;
    quint32 his_ipaddr;
    quint32 netmask;
    quint32 dns1;
    quint32 dns2;
};

// Questions the data callback answers with a 32-bit address in network
// byte order (0 = none): our own address to propose, and the address to
// suggest to a peer that does not know its own (one the peer proposes
// itself is always accepted).
enum { PPP_DATA_LOCAL_ADDRESS = 0, PPP_DATA_REMOTE_ADDRESS = 1 };

using PppLinkStatusCB = void (*)(void *ctx, int errCode, void *arg);
using PppLinkDataCB = void (*)(void *ctx, int param, void *arg);
using PppIpInputCB = void (*)(void *ctx, const char *data, int len);
// Serial output of a session: returns how many bytes it took.
using SioWriteHook = int (*)(void *serialHandle, const quint8 *data, int len);

// System services (clock, random seed) and the stack, once per process;
// calling again only reseeds the random source.
void pppInit();
void pppSetAuth(PppAuthType type, const char *user, const char *passwd);
void sioSetWriteHook(SioWriteHook hook);
// For the device's end of a link (simulator, tests): demand PAP with these
// credentials from the peer. Null for the PC's end.
struct PppPeerAuth {
    const char *user;
    const char *passwd;
};

// A unit 0..31, or a negative PppErr code when no session could be made.
int pppOverSerialOpen(void *serialHandle, PppLinkStatusCB statusCB, PppLinkDataCB dataCB,
                      PppIpInputCB ipInputCB, void *ctx, const PppPeerAuth *requirePeerAuth = nullptr);
void pppSerialInput(int unit, const char *data, int len);
int pppIpOutput(int unit, const char *packet, int len);
// Starts the end of the session; the termination report follows later (and
// never from inside this call). Closing an ended session does nothing.
int pppClose(int unit);
// Ends the session at once without telling the peer (its line is gone, or
// the line is wanted for a new session): every protocol goes down, nothing
// more is written. With report, the termination report (a stop by the user,
// -69) follows on a later timer run; without it nothing more is reported
// and the unit is free at once. Works on a session already ending.
int pppCloseNow(int unit, bool report);
// Runs the stack's due timers; call every 100 ms.
void pppCheckTimeouts();
// Counts the timers from now (after a pause in calling pppCheckTimeouts).
void pppRestartTimeouts();
// Milliseconds since pppInit.
quint32 pppMilliseconds();
// Number of units holding a session (ended ones until their release).
int pppSessionsInUse();
