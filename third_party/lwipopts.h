/* lwIP settings for the PPP link to the fiscal device: lwIP only runs the
 * PPP-over-serial protocol machinery. IPv4 packets are carried raw between
 * the link and the PC's own stack (input hook in, framed output out), so no
 * transport protocol of lwIP handles them. */
#ifndef VELMORA_LWIPOPTS_H
#define VELMORA_LWIPOPTS_H

/* One thread drives the stack (the PPP engine's): no OS layer. */
#define NO_SYS 1
#define SYS_LIGHTWEIGHT_PROT 1
#define LWIP_NETCONN 0
#define LWIP_SOCKET 0
#define LWIP_TIMERS 1

/* Packet buffers and timer records come from the C heap. */
#define MEM_LIBC_MALLOC 1
#define MEMP_MEM_MALLOC 1
#define MEM_ALIGNMENT 8
#define PBUF_POOL_BUFSIZE 128

/* IPv4 only, nothing above IP except what IPCP's DNS option needs. */
#define LWIP_IPV4 1
#define LWIP_IPV6 0
#define LWIP_ARP 0
#define LWIP_ETHERNET 0
#define LWIP_ICMP 0
#define LWIP_RAW 0
#define LWIP_TCP 0
#define LWIP_UDP 1
#define LWIP_DNS 1
#define LWIP_IGMP 0
#define LWIP_DHCP 0
#define LWIP_AUTOIP 0
#define IP_FORWARD 0
#define IP_REASSEMBLY 0
#define IP_FRAG 0
/* Packets are forwarded as they came; the PC's stack judges them. */
#define CHECKSUM_CHECK_IP 0
#define CHECKSUM_CHECK_UDP 0

/* Link-down (IPCP down) is seen through the netif link callback. */
#define LWIP_NETIF_LINK_CALLBACK 1
#define LWIP_NETIF_STATUS_CALLBACK 0
#define LWIP_SINGLE_NETIF 0

/* PPP over serial with PAP; no compression, no encryption. */
#define PPP_SUPPORT 1
#define PPPOS_SUPPORT 1
#define PPPOE_SUPPORT 0
#define PPPOL2TP_SUPPORT 0
#define PPP_IPV4_SUPPORT 1
#define PPP_IPV6_SUPPORT 0
#define PPP_NOTIFY_PHASE 1
#define PPP_INPROC_IRQ_SAFE 0
#define PAP_SUPPORT 1
/* Lets a session demand PAP from its peer: the device's side of a link in
 * the simulator and in tests. The PC's own sessions never demand it. */
#define PPP_SERVER 1
#define CHAP_SUPPORT 0
#define MSCHAP_SUPPORT 0
#define EAP_SUPPORT 0
#define CCP_SUPPORT 0
#define MPPE_SUPPORT 0
#define ECP_SUPPORT 0
#define LQR_SUPPORT 0
#define VJ_SUPPORT 0
#define PPP_MD5_RANDM 0
#define PPP_MRU 1500
#define PPP_DEFMRU 1500
/* No LCP echo requests: the tunnels' TCP keep-alive watches the device. */
#define LCP_ECHOINTERVAL 0
#define LCP_MAXECHOFAILS 3
/* Up to 32 concurrent sessions, as many units as the engine may ask for. */
#define NUM_PPP 32
#define MEMP_NUM_PPP_PCB 32
#define MEMP_NUM_PPPOS_INTERFACES 32
#define MEMP_NUM_SYS_TIMEOUT 64
#define MEMP_NUM_UDP_PCB 4

#define LWIP_STATS 0
#define PPP_STATS_SUPPORT 0

/* Raw IPv4 from the link goes to the PPP adapter before lwIP's IP layer. */
struct pbuf;
struct netif;
int velmora_lwip_ip4_input_hook(struct pbuf *p, struct netif *inp);
#define LWIP_HOOK_IP4_INPUT(p, inp) velmora_lwip_ip4_input_hook((p), (inp))

/* Diagnostics of the stack, with the control packets decoded (data packets
 * are never printed), go to the program's log at debug level. */
#ifdef VELMORA_LWIP_DEBUG
#define LWIP_DEBUG 1
#define PPP_DEBUG LWIP_DBG_ON
#define PRINTPKT_SUPPORT 1
#define PPP_PROTOCOLNAME 1
#define LWIP_DBG_MIN_LEVEL LWIP_DBG_LEVEL_ALL
#endif

#endif /* VELMORA_LWIPOPTS_H */
