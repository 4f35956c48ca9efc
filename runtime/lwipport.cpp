#include "runtime/lwipport.h"

#include "log/debug_class.h"

extern "C" {
#include "lwip/init.h"
#include "lwip/ip4_addr.h"
#include "lwip/netif.h"
#include "lwip/pbuf.h"
#include "lwip/sys.h"
#include "lwip/timeouts.h"
#include "netif/ppp/ppp.h"
#include "netif/ppp/ppp_impl.h"
#include "netif/ppp/pppos.h"
#include "netif/ppp/upap.h"
#include "velmora_lwip_port.h"

// Needs the PPP types above.
#include "netif/ppp/lcp.h"
}

#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

const int kUnits = 32;
const int kInputBlockStep = 1500;
// Negotiation timers of every session (LCP and IPCP): seconds between
// configure or terminate requests, and how many of each are sent.
const u8_t kFsmTimeoutSeconds = 1;
const u8_t kFsmMaxConfReqs = 60;
const u8_t kFsmMaxTermReqs = 1;

struct Session {
    bool used = false;
    bool ended = false;  // termination reported; waiting to be released
    bool linkUp = false; // status 0 reported and not yet taken back by -6
    bool muted = false;  // ended at once: nothing more goes to the line
    int endCode = 0;
    std::string peerUser; // credentials a device-side session demands
    std::string peerPasswd;
    ppp_pcb *pcb = nullptr;
    netif pppif;
    void *serial = nullptr;
    PppLinkStatusCB statusCB = nullptr;
    PppLinkDataCB dataCB = nullptr;
    PppIpInputCB ipInputCB = nullptr;
    void *ctx = nullptr;
};

Session g_sessions[kUnits];
bool g_stackReady = false;
bool g_inClose = false;
SioWriteHook g_sioWrite = nullptr;
std::string g_user;
std::string g_passwd;

int unitOf(const Session *s)
{
    return int(s - g_sessions);
}

Session *sessionOf(int unit)
{
    if (unit < 0 || unit >= kUnits || !g_sessions[unit].used)
        return nullptr;
    return &g_sessions[unit];
}

Session *sessionOfNetif(const netif *inp)
{
    for (Session &s : g_sessions)
        if (s.used && s.pcb && s.pcb->netif == inp)
            return &s;
    return nullptr;
}

// lwIP 2.x error numbers to the ones of the 1.4 interface the engine knows.
int legacyErr(err_t e)
{
    switch (e) {
    case ERR_OK:
        return 0;
    case ERR_MEM:
        return -1;
    case ERR_BUF:
        return -2;
    case ERR_TIMEOUT:
        return -3;
    case ERR_RTE:
        return -4;
    case ERR_INPROGRESS:
        return -5;
    case ERR_VAL:
        return -6;
    case ERR_WOULDBLOCK:
        return -7;
    case ERR_USE:
    case ERR_ALREADY:
        return -8;
    case ERR_ISCONN:
        return -9;
    case ERR_ABRT:
        return -10;
    case ERR_RST:
        return -11;
    case ERR_CLSD:
        return -12;
    case ERR_CONN:
        return -13;
    case ERR_ARG:
        return -14;
    case ERR_IF:
        return -15;
    default:
        return int(e);
    }
}

void releaseSession(void *arg)
{
    auto *s = static_cast<Session *>(arg);
    if (s->pcb) {
        // lwIP leaves PAP's retransmission timer armed once a request was
        // answered (accepted or refused), and going down cancels it only
        // while a request is outstanding; the timer would then read the
        // freed block. PAP's own lower-down cancels it when it believes a
        // request is out.
        if (s->pcb->upap.us_transmits > 0) {
            s->pcb->upap.us_clientstate = UPAPCS_AUTHREQ;
            pap_protent.lowerdown(s->pcb);
        }
        ppp_free(s->pcb);
    }
    *s = Session();
}

// The report that ends a session, with lwIP 2.x's positive codes turned into
// the negative ones. Only ppp_link_end gives PPPERR_CONNECT, and only for a
// session that had no error of its own: that is reported as a protocol end.
void deliverTermination(void *arg)
{
    auto *s = static_cast<Session *>(arg);
    if (s->statusCB)
        s->statusCB(s->ctx, s->endCode - PPP_TERMINATION_OFFSET, nullptr);
}

void reportTermination(Session *s, int lwipCode)
{
    int code = lwipCode == PPPERR_CONNECT ? 0 : -lwipCode;
    if (code == 0)
        code = PppErr::Protocol;
    s->ended = true;
    s->linkUp = false;
    s->endCode = code;
    if (g_inClose) {
        // Never report from inside pppClose: the engine is still in the middle of it.
        sys_timeout(0, deliverTermination, s);
        sys_timeout(0, releaseSession, s);
        return;
    }
    // The control block may only be freed outside its own callback.
    sys_timeout(0, releaseSession, s);
    deliverTermination(s);
}

void onStatus(ppp_pcb *pcb, int errCode, void *ctx)
{
    auto *s = static_cast<Session *>(ctx);
    if (!s->used || s->ended)
        return;
    if (errCode == PPPERR_NONE) {
        PppAddrs addrs;
        addrs.our_ipaddr = ip4_addr_get_u32(netif_ip4_addr(pcb->netif));
        addrs.his_ipaddr = ip4_addr_get_u32(netif_ip4_gw(pcb->netif));
        addrs.netmask = ip4_addr_get_u32(netif_ip4_netmask(pcb->netif));
        addrs.dns1 = pcb->ipcp_gotoptions.dnsaddr[0];
        addrs.dns2 = pcb->ipcp_gotoptions.dnsaddr[1];
        s->linkUp = true;
        if (s->statusCB)
            s->statusCB(s->ctx, 0, &addrs);
        return;
    }
    // Every other report of lwIP 2.x comes with the session dead.
    reportTermination(s, errCode);
}

// IPCP went down: lwIP 2.x only takes the interface's link down.
void onLinkChange(netif *nif)
{
    Session *s = sessionOfNetif(nif);
    if (!s || s->ended || netif_is_link_up(nif) || !s->linkUp)
        return;
    s->linkUp = false;
    if (s->statusCB)
        s->statusCB(s->ctx, PppErr::Connect, nullptr);
}

void onPhase(ppp_pcb *pcb, u8_t phase, void *ctx)
{
    auto *s = static_cast<Session *>(ctx);
    if (phase != PPP_PHASE_NETWORK || !s->dataCB)
        return;
    // IPCP opens next: our address is proposed from what the engine holds.
    u32_t ours = 0;
    s->dataCB(s->ctx, PPP_DATA_LOCAL_ADDRESS, &ours);
    ip4_addr_t a;
    ip4_addr_set_u32(&a, ours);
    ppp_set_ipcp_ouraddr(pcb, &a);
    // A peer that proposes no address of its own (0.0.0.0) is told this one
    // instead of being refused; its own proposal still wins.
    u32_t his = 0;
    s->dataCB(s->ctx, PPP_DATA_REMOTE_ADDRESS, &his);
    pcb->ipcp_wantoptions.hisaddr = his;
    pcb->ipcp_wantoptions.accept_remote = 1;
}

u32_t onSerialOutput(ppp_pcb *, u8_t *data, u32_t len, void *ctx)
{
    auto *s = static_cast<Session *>(ctx);
    if (s->muted)
        return len;
    if (!g_sioWrite)
        return 0;
    const int n = g_sioWrite(s->serial, data, int(len));
    return n < 0 ? 0 : u32_t(n);
}

// Raw IPv4 from the link: to the engine, never into lwIP's own IP layer.
extern "C" int ip4InputHook(pbuf *p, netif *inp)
{
    Session *s = sessionOfNetif(inp);
    if (!s)
        return 0;
    if (s->ended || !s->pcb->if4_up || !s->ipInputCB) {
        pbuf_free(p);
        return 1;
    }
    const int len = p->tot_len;
    const size_t capacity = size_t((len + kInputBlockStep - 1) / kInputBlockStep * kInputBlockStep);
    char *block = static_cast<char *>(std::malloc(capacity ? capacity : 1));
    if (block) {
        pbuf_copy_partial(p, block, u16_t(len), 0);
        s->ipInputCB(s->ctx, block, len);
        std::free(block);
    }
    pbuf_free(p);
    return 1;
}

} // namespace

void pppInit()
{
    velmora_lwip_sys_init();
    if (g_stackReady)
        return;
    lwip_init();
    velmora_lwip_set_ip4_input_handler(ip4InputHook);
    g_stackReady = true;
}

void pppSetAuth(PppAuthType type, const char *user, const char *passwd)
{
    Q_UNUSED(type);
    g_user = user ? user : "";
    g_passwd = passwd ? passwd : "";
}

void sioSetWriteHook(SioWriteHook hook)
{
    g_sioWrite = hook;
}

int pppOverSerialOpen(void *serialHandle, PppLinkStatusCB statusCB, PppLinkDataCB dataCB,
                      PppIpInputCB ipInputCB, void *ctx, const PppPeerAuth *requirePeerAuth)
{
    if (!g_stackReady)
        pppInit();
    Session *s = nullptr;
    for (Session &c : g_sessions) {
        if (!c.used) {
            s = &c;
            break;
        }
    }
    if (!s)
        return PppErr::Open;
    *s = Session();
    s->used = true;
    s->serial = serialHandle;
    s->statusCB = statusCB;
    s->dataCB = dataCB;
    s->ipInputCB = ipInputCB;
    s->ctx = ctx;
    s->pcb = pppos_create(&s->pppif, onSerialOutput, onStatus, s);
    if (!s->pcb) {
        *s = Session();
        return PppErr::Alloc;
    }
    // lwIP retransmits a configure request every 6 s: a device whose end
    // starts after ours would wait that long. Once a second, for about a
    // minute, brings the link up within a second of the peer; a stop against
    // a peer that no longer answers ends after one terminate request.
    s->pcb->settings.fsm_timeout_time = kFsmTimeoutSeconds;
    s->pcb->settings.fsm_max_conf_req_transmits = kFsmMaxConfReqs;
    s->pcb->settings.fsm_max_term_transmits = kFsmMaxTermReqs;
    netif_set_link_callback(&s->pppif, onLinkChange);
    ppp_set_notify_phase_callback(s->pcb, onPhase);
    ppp_set_usepeerdns(s->pcb, 1);
    // Every type, "none" included, asks nothing of the peer, refuses CHAP
    // and answers a PAP request with the name and password held (empty by
    // default): what "none" meant in lwIP 1.4.
    if (requirePeerAuth) {
        s->peerUser = requirePeerAuth->user ? requirePeerAuth->user : "";
        s->peerPasswd = requirePeerAuth->passwd ? requirePeerAuth->passwd : "";
        ppp_set_auth(s->pcb, PPPAUTHTYPE_PAP, s->peerUser.c_str(), s->peerPasswd.c_str());
        ppp_set_auth_required(s->pcb, 1);
    } else {
        ppp_set_auth(s->pcb, PPPAUTHTYPE_PAP, g_user.c_str(), g_passwd.c_str());
    }
    const err_t e = ppp_connect(s->pcb, 0);
    if (e != ERR_OK) {
        ppp_free(s->pcb);
        *s = Session();
        return PppErr::Open;
    }
    return unitOf(s);
}

void pppSerialInput(int unit, const char *data, int len)
{
    Session *s = sessionOf(unit);
    if (!s || s->ended || !data || len <= 0)
        return;
    pppos_input(s->pcb, reinterpret_cast<u8_t *>(const_cast<char *>(data)), len);
}

int pppIpOutput(int unit, const char *packet, int len)
{
    Session *s = sessionOf(unit);
    if (!s || !packet || len <= 0 || len > 0xFFFF)
        return PPP_OUT_BAD_ARGS;
    if (s->ended || !s->pcb->if4_up)
        return PPP_OUT_LINK_DOWN;
    pbuf *pb = pbuf_alloc(PBUF_RAW, u16_t(len), PBUF_RAM);
    if (!pb)
        return PPP_OUT_NO_MEMORY;
    std::memcpy(pb->payload, packet, size_t(len));
    // The interface's IPv4 output frames the packet as protocol 0x0021.
    const err_t e = s->pppif.output(&s->pppif, pb, nullptr);
    pbuf_free(pb);
    return legacyErr(e);
}

int pppClose(int unit)
{
    Session *s = sessionOf(unit);
    if (!s)
        return PppErr::Param;
    if (s->ended)
        return 0;
    g_inClose = true;
    err_t e = ERR_OK;
    if (s->pcb->phase == PPP_PHASE_DEAD)
        reportTermination(s, PPPERR_USER); // lwIP would report it from inside ppp_close
    else
        e = ppp_close(s->pcb, 0);
    g_inClose = false;
    return e == ERR_INPROGRESS ? 0 : legacyErr(e);
}

int pppCloseNow(int unit, bool report)
{
    Session *s = sessionOf(unit);
    if (!s)
        return PppErr::Param;
    s->muted = true;
    if (!report) {
        s->statusCB = nullptr;
        s->dataCB = nullptr;
        s->ipInputCB = nullptr;
    }
    if (!s->ended) {
        ppp_pcb *pcb = s->pcb;
        g_inClose = true;
        if (pcb->phase < PPP_PHASE_ESTABLISH) {
            // Nothing negotiated yet: lwIP's own close ends it without a word.
            ppp_close(pcb, 1);
        } else {
            // What lwIP does when the carrier is lost in the running phase,
            // in any phase: every protocol goes down and its timers stop,
            // the link ends without waiting for the peer.
            pcb->err_code = PPPERR_USER;
            lcp_lowerdown(pcb);
            link_terminated(pcb);
        }
        g_inClose = false;
    }
    if (!report && s->ended && s->pcb && s->pcb->phase == PPP_PHASE_DEAD) {
        // Nobody waits for its report: the unit is free for the next session now.
        sys_untimeout(deliverTermination, s);
        sys_untimeout(releaseSession, s);
        releaseSession(s);
    }
    return 0;
}

void pppCheckTimeouts()
{
    sys_check_timeouts();
}

void pppRestartTimeouts()
{
    sys_restart_timeouts();
}

quint32 pppMilliseconds()
{
    return sys_now();
}

int pppSessionsInUse()
{
    int n = 0;
    for (const Session &s : g_sessions)
        n += s.used ? 1 : 0;
    return n;
}
