#include "platform/iphelper.h"

#include "log/debug_class.h"

#include <QtEndian>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/neighbour.h>
#include <netlink/route/route.h>

// The IP Helper operations the tunnels rely on, done over rtnetlink. Results
// follow the Windows numbers callers test (5 access denied, 183 exists) and
// are errno otherwise.
namespace
{

const int kErrorAccessDenied = 5;
const int kErrorAlreadyExists = 183;
const int kRouteTypeDirect = 3;   // next hop is the destination itself
const int kRouteTypeIndirect = 4; // through a gateway or a point-to-point link
const int kNetTypeOther = 1;
const int kNetTypeInvalid = 2;
const int kNetTypeDynamic = 3;
const int kNetTypeStatic = 4;

int windowsNumber(int err)
{
    if (err == EPERM || err == EACCES)
        return kErrorAccessDenied;
    if (err == EEXIST)
        return kErrorAlreadyExists;
    return err;
}

int errnoFromNl(int nlErr)
{
    switch (-qAbs(nlErr)) {
    case -NLE_PERM:
        return EPERM;
    case -NLE_NOACCESS:
        return EACCES;
    case -NLE_EXIST:
        return EEXIST;
    case -NLE_OBJ_NOTFOUND:
        return ENOENT;
    case -NLE_NOMEM:
        return ENOMEM;
    case -NLE_INVAL:
        return EINVAL;
    case -NLE_NODEV:
        return ENODEV;
    case -NLE_NOADDR:
        return EADDRNOTAVAIL;
    default:
        return EIO;
    }
}

// One rtnetlink socket for the length of one operation.
class RouteSocket
{
public:
    RouteSocket()
    {
        m_sock = nl_socket_alloc();
        if (!m_sock) {
            m_error = ENOMEM;
            return;
        }
        const int r = nl_connect(m_sock, NETLINK_ROUTE);
        if (r < 0)
            m_error = errnoFromNl(r);
    }
    ~RouteSocket()
    {
        if (m_sock)
            nl_socket_free(m_sock);
    }
    RouteSocket(const RouteSocket &) = delete;
    RouteSocket &operator=(const RouteSocket &) = delete;

    nl_sock *get() const { return m_sock; }
    int error() const { return m_error; }

    // Sends the message (taking it) and reads until the kernel's answer
    // ends; each reply message goes to onValid. Returns 0 or errno.
    int transact(nl_msg *msg, nl_recvmsg_msg_cb_t onValid = nullptr, void *arg = nullptr)
    {
        struct State {
            int error = 0;
            bool done = false;
        } state;
        nl_cb *own = nl_socket_get_cb(m_sock); // takes a reference
        nl_cb *cb = nl_cb_clone(own);
        nl_cb_put(own);
        if (!cb) {
            nlmsg_free(msg);
            return ENOMEM;
        }
        if (onValid)
            nl_cb_set(cb, NL_CB_VALID, NL_CB_CUSTOM, onValid, arg);
        nl_cb_set(
            cb, NL_CB_ACK, NL_CB_CUSTOM,
            [](nl_msg *, void *a) {
                static_cast<State *>(a)->done = true;
                return int(NL_STOP);
            },
            &state);
        nl_cb_err(
            cb, NL_CB_CUSTOM,
            [](sockaddr_nl *, nlmsgerr *e, void *a) {
                auto *s = static_cast<State *>(a);
                s->error = -e->error;
                s->done = true;
                return int(NL_STOP);
            },
            &state);
        int r = nl_send_auto(m_sock, msg);
        nlmsg_free(msg);
        if (r < 0) {
            nl_cb_put(cb);
            return errnoFromNl(r);
        }
        while (!state.done) {
            r = nl_recvmsgs(m_sock, cb);
            if (r < 0 && !state.done) {
                state.error = errnoFromNl(r);
                break;
            }
        }
        nl_cb_put(cb);
        return state.error;
    }

private:
    nl_sock *m_sock = nullptr;
    int m_error = 0;
};

struct BestRoute {
    quint32 ifIndex = 0;
    int type = kRouteTypeIndirect;
};

// Asks the kernel which route it would take to the address (host order).
int GetBestRoute(quint32 destination, BestRoute *out)
{
    RouteSocket sock;
    if (sock.error())
        return sock.error();
    nl_msg *msg = nlmsg_alloc_simple(RTM_GETROUTE, 0);
    if (!msg)
        return ENOMEM;
    rtmsg rtm;
    std::memset(&rtm, 0, sizeof(rtm));
    rtm.rtm_family = AF_INET;
    rtm.rtm_dst_len = 32;
    if (nlmsg_append(msg, &rtm, sizeof(rtm), NLMSG_ALIGNTO) < 0 ||
        nla_put_u32(msg, RTA_DST, qToBigEndian(destination)) < 0) {
        nlmsg_free(msg);
        return ENOMEM;
    }
    struct Found {
        bool any = false;
        quint32 ifIndex = 0;
        bool gateway = false;
        int routeType = 0;
    } found;
    const int err = sock.transact(
        msg,
        [](nl_msg *m, void *a) {
            auto *f = static_cast<Found *>(a);
            rtnl_route *route = nullptr;
            if (rtnl_route_parse(nlmsg_hdr(m), &route) < 0 || !route)
                return int(NL_SKIP);
            f->any = true;
            f->routeType = rtnl_route_get_type(route);
            if (rtnl_route_get_nnexthops(route) > 0) {
                rtnl_nexthop *nh = rtnl_route_nexthop_n(route, 0);
                f->ifIndex = quint32(rtnl_route_nh_get_ifindex(nh));
                f->gateway = rtnl_route_nh_get_gateway(nh) != nullptr;
            }
            rtnl_route_put(route);
            return int(NL_OK);
        },
        &found);
    if (err)
        return err;
    if (!found.any)
        return ENETUNREACH;
    out->ifIndex = found.ifIndex;
    out->type = kRouteTypeIndirect;
    if (found.gateway || found.routeType != RTN_UNICAST)
        return 0;
    // Direct only on a link that resolves neighbours by ARP.
    rtnl_link *link = nullptr;
    if (rtnl_link_get_kernel(sock.get(), int(found.ifIndex), nullptr, &link) >= 0 && link) {
        const unsigned flags = rtnl_link_get_flags(link);
        if (rtnl_link_get_arptype(link) == ARPHRD_ETHER && !(flags & (IFF_NOARP | IFF_POINTOPOINT)))
            out->type = kRouteTypeDirect;
        rtnl_link_put(link);
    }
    return 0;
}

struct NetRow {
    quint32 ifIndex = 0;
    MACAddress mac;
    quint32 address = 0; // host order
};

enum class NeighOp { Set, Create, Delete };

int neighbourRequest(const NetRow &row, NeighOp op)
{
    RouteSocket sock;
    if (sock.error())
        return windowsNumber(sock.error());
    const quint32 be = qToBigEndian(row.address);
    rtnl_neigh *neigh = rtnl_neigh_alloc();
    nl_addr *dst = nl_addr_build(AF_INET, &be, 4);
    nl_addr *ll = nl_addr_build(AF_LLC, row.mac.data(), size_t(MACAddress::size()));
    if (!neigh || !dst || !ll) {
        if (neigh)
            rtnl_neigh_put(neigh);
        if (dst)
            nl_addr_put(dst);
        if (ll)
            nl_addr_put(ll);
        return ENOMEM;
    }
    rtnl_neigh_set_ifindex(neigh, int(row.ifIndex));
    rtnl_neigh_set_family(neigh, AF_INET);
    rtnl_neigh_set_dst(neigh, dst);
    nl_msg *msg = nullptr;
    int r;
    if (op == NeighOp::Delete) {
        r = rtnl_neigh_build_delete_request(neigh, 0, &msg);
    } else {
        rtnl_neigh_set_lladdr(neigh, ll);
        rtnl_neigh_set_state(neigh, NUD_PERMANENT);
        r = rtnl_neigh_build_add_request(neigh, op == NeighOp::Create ? NLM_F_EXCL : NLM_F_REPLACE, &msg);
        // Setting changes an existing entry only, as its Windows counterpart
        // does; creating makes a new one only.
        if (r >= 0 && op == NeighOp::Set)
            nlmsg_hdr(msg)->nlmsg_flags =
                (nlmsg_hdr(msg)->nlmsg_flags & ~(NLM_F_CREATE | NLM_F_EXCL)) | NLM_F_REPLACE;
        if (r >= 0 && op == NeighOp::Create)
            nlmsg_hdr(msg)->nlmsg_flags =
                (nlmsg_hdr(msg)->nlmsg_flags & ~NLM_F_REPLACE) | NLM_F_CREATE | NLM_F_EXCL;
    }
    nl_addr_put(dst);
    nl_addr_put(ll);
    rtnl_neigh_put(neigh);
    if (r < 0)
        return errnoFromNl(r);
    return windowsNumber(sock.transact(msg));
}

int SetIpNetEntry(const NetRow &row)
{
    return neighbourRequest(row, NeighOp::Set);
}
int CreateIpNetEntry(const NetRow &row)
{
    return neighbourRequest(row, NeighOp::Create);
}
int DeleteIpNetEntry(const NetRow &row)
{
    return neighbourRequest(row, NeighOp::Delete);
}

QHostAddress fromNlAddr(nl_addr *a)
{
    if (!a || nl_addr_get_family(a) != AF_INET || nl_addr_get_len(a) != 4)
        return QHostAddress();
    quint32 be;
    std::memcpy(&be, nl_addr_get_binary_addr(a), 4);
    return QHostAddress(qFromBigEndian(be));
}

QString systemMessage(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

QString tableFailure(const char *text, int code)
{
    const QString message = systemMessage(code);
    QString line = QString::fromLatin1(text).arg(code);
    if (!message.isEmpty())
        line = line.arg(message);
    return line;
}

} // namespace

IPHelper::IPHelper(QObject *parent) : QObject(parent) {}

IPHelper::~IPHelper()
{
    for (const ARPEntry &e : qAsConst(m_arpEntries)) {
        NetRow row;
        row.ifIndex = e.ifIndex;
        row.mac = e.mac;
        row.address = e.address.toIPv4Address();
        const int r = DeleteIpNetEntry(row);
        if (r)
            VLOG(6)
                << QString("Arp entry for address: %1 not removed err=%2").arg(e.address.toString()).arg(r);
        else
            VLOG(6) << QString("Arp entry for address: %1 removed").arg(e.address.toString());
    }
}

bool IPHelper::CreateOrSetMAC(const QHostAddress &address, MACAddress &mac)
{
    VLOG(6) << QString("Set mac address called: %1 = %2").arg(address.toString(), mac.toString());
    BestRoute route;
    const int r = GetBestRoute(address.toIPv4Address(), &route);
    if (r) {
        VLOG(6) << QString("Get best route error: %1").arg(r);
        return false;
    }
    if (route.type != kRouteTypeDirect) {
        VLOG(6) << "Route is remote, no need to set ARP";
        return true;
    }
    NetRow row;
    row.ifIndex = route.ifIndex;
    row.mac = mac;
    row.address = address.toIPv4Address();
    int res = SetIpNetEntry(row);
    if (res == kErrorAccessDenied) {
        VLOG(-10) << "Access Denied";
        return false;
    }
    if (res) {
        VLOG(6) << QString("Error: %1").arg(res);
        res = CreateIpNetEntry(row);
        if (res == kErrorAccessDenied) {
            VLOG(-10) << "Access Denied";
            return false;
        }
        if (res) {
            VLOG(6) << QString("Error: %1").arg(res);
            return false;
        }
    }
    ARPEntry entry;
    entry.mac = mac;
    entry.address = address;
    entry.ifIndex = route.ifIndex;
    // Set again for the same address and interface: one entry to remove later.
    bool known = false;
    for (const ARPEntry &e : qAsConst(m_arpEntries))
        known = known || (e.address == address && e.ifIndex == route.ifIndex && e.mac == mac);
    if (!known)
        m_arpEntries.append(entry);
    VLOG(6) << QString("Set mac address for: %1 to %2 done").arg(address.toString(), mac.toString());
    return true;
}

void IPHelper::updateAdapters()
{
    RouteSocket sock;
    nl_cache *cache = nullptr;
    int r = sock.error();
    if (r == ENOMEM) {
        VLOG(-10) << QString("Detected OOM condition for size: %1").arg(sizeof(nl_sock *));
        return;
    }
    if (!r) {
        const int nr = rtnl_link_alloc_cache(sock.get(), AF_UNSPEC, &cache);
        r = nr < 0 ? errnoFromNl(nr) : 0;
    }
    if (r) {
        VLOG(-10) << QString("GetAdaptersInfo failed with error: %1").arg(r);
        return;
    }
    m_adapters.clear();
    for (nl_object *o = nl_cache_get_first(cache); o; o = nl_cache_get_next(o)) {
        auto *link = reinterpret_cast<rtnl_link *>(o);
        // The interface alias is what a Linux user gives as a description.
        const char *alias = rtnl_link_get_ifalias(link);
        const char *name = rtnl_link_get_name(link);
        m_adapters.insert(quint32(rtnl_link_get_ifindex(link)),
                          QString::fromLocal8Bit(alias && *alias ? alias : (name ? name : "")));
    }
    nl_cache_free(cache);
}

void IPHelper::updateIPs()
{
    updateAdapters();
    m_localAddresses.clear();
    RouteSocket sock;
    nl_cache *addrs = nullptr;
    nl_cache *links = nullptr;
    int r = sock.error();
    if (r == ENOMEM) {
        VLOG(-10) << QString("Detected OOM condition for size: %1").arg(sizeof(nl_sock *));
        return;
    }
    if (!r) {
        const int nr = rtnl_addr_alloc_cache(sock.get(), &addrs);
        r = nr < 0 ? errnoFromNl(nr) : 0;
    }
    if (r) {
        VLOG(-10) << tableFailure("GetIpAddrTable failed with code %%1 message '%%2'", r);
        return;
    }
    if (rtnl_link_alloc_cache(sock.get(), AF_UNSPEC, &links) < 0)
        links = nullptr;
    int rows = 0;
    for (nl_object *o = nl_cache_get_first(addrs); o; o = nl_cache_get_next(o)) {
        auto *a = reinterpret_cast<rtnl_addr *>(o);
        if (rtnl_addr_get_family(a) != AF_INET)
            continue;
        ++rows;
        LocalAddressEntry e;
        e.ifIndex = quint32(rtnl_addr_get_ifindex(a));
        e.adapterName = m_adapters.value(e.ifIndex);
        e.address = fromNlAddr(rtnl_addr_get_local(a));
        const int prefix = rtnl_addr_get_prefixlen(a);
        e.netmask = QHostAddress(prefix <= 0 ? 0u : quint32(0xFFFFFFFFull << (32 - qMin(prefix, 32))));
        e.broadcast = fromNlAddr(rtnl_addr_get_broadcast(a));
        const unsigned f = rtnl_addr_get_flags(a);
        if (!(f & IFA_F_SECONDARY))
            e.flags |= LocalAddressEntry::Primary;
        if (!(f & IFA_F_PERMANENT))
            e.flags |= LocalAddressEntry::Dynamic;
        if (f & IFA_F_TENTATIVE)
            e.flags |= LocalAddressEntry::Transient;
        if (links) {
            rtnl_link *link = rtnl_link_get(links, int(e.ifIndex));
            if (link) {
                if (!(rtnl_link_get_flags(link) & IFF_RUNNING))
                    e.flags |= LocalAddressEntry::Disconnected;
                rtnl_link_put(link);
            }
        }
        VLOG(6) << QString("[IPSCAN] Found IP: %1 (%2)").arg(e.address.toString(), e.adapterName);
        m_localAddresses.append(e);
    }
    if (links)
        nl_cache_free(links);
    nl_cache_free(addrs);
    VLOG(6) << QString("updateIPs got %1 unique addresses").arg(rows);
}

QList<LocalAddressEntry> &IPHelper::getIPs()
{
    updateIPs();
    return m_localAddresses;
}

bool IPHelper::getMacTable(QList<QString> &out)
{
    VLOG(6) << "Getting MAC table";
    out.clear();
    RouteSocket sock;
    nl_cache *cache = nullptr;
    int r = sock.error();
    if (r == ENOMEM) {
        VLOG(-10) << QString("Detected OOM condition for size: %1").arg(sizeof(nl_sock *));
        return false;
    }
    if (!r) {
        const int nr = rtnl_neigh_alloc_cache(sock.get(), &cache);
        r = nr < 0 ? errnoFromNl(nr) : 0;
    }
    if (r) {
        VLOG(-10) << tableFailure("GetIpNetTable failed with code %%1 message '%%2'", r);
        return false;
    }
    int rows = 0;
    for (nl_object *o = nl_cache_get_first(cache); o; o = nl_cache_get_next(o)) {
        auto *n = reinterpret_cast<rtnl_neigh *>(o);
        if (rtnl_neigh_get_family(n) != AF_INET)
            continue;
        ++rows;
        nl_addr *ll = rtnl_neigh_get_lladdr(n);
        QByteArray raw;
        if (ll)
            raw =
                QByteArray(static_cast<const char *>(nl_addr_get_binary_addr(ll)), int(nl_addr_get_len(ll)));
        const MACAddress mac(QString::fromLatin1(raw.toHex()));
        const int state = rtnl_neigh_get_state(n);
        int type = kNetTypeDynamic;
        if (state & NUD_PERMANENT)
            type = kNetTypeStatic;
        else if (state & NUD_NOARP)
            type = kNetTypeOther;
        else if (state & (NUD_FAILED | NUD_INCOMPLETE) || state == NUD_NONE)
            type = kNetTypeInvalid;
        const QString line = QString("[%1] IP=%2 MAC=%3 TYPE=%4")
                                 .arg(rtnl_neigh_get_ifindex(n))
                                 .arg(fromNlAddr(rtnl_neigh_get_dst(n)).toString(), mac.toString())
                                 .arg(type);
        VLOG(6) << QString("[MACSCAN] Found: %1").arg(line);
        out.append(line);
    }
    nl_cache_free(cache);
    VLOG(6) << QString("Macscan got %1 unique addresses").arg(rows);
    return true;
}
