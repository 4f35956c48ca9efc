/* lwIP settings of the device simulator: the device's end of a PPP link
 * with its own IPv4 stack and TCP, serving the device's TCP services at its
 * configured address. Separate from the program's build, which runs only
 * the PPP machinery. One thread (the simulator's) drives the stack. */
#ifndef DEVSIM_LWIPOPTS_H
#define DEVSIM_LWIPOPTS_H

#define NO_SYS 1
#define SYS_LIGHTWEIGHT_PROT 1
#define LWIP_NETCONN 0
#define LWIP_SOCKET 0
#define LWIP_TIMERS 1

#define MEM_LIBC_MALLOC 1
#define MEMP_MEM_MALLOC 1
#define MEM_ALIGNMENT 8
#define PBUF_POOL_BUFSIZE 1600

#define LWIP_IPV4 1
#define LWIP_IPV6 0
#define LWIP_ARP 0
#define LWIP_ETHERNET 0
#define LWIP_ICMP 1
#define LWIP_RAW 0
#define LWIP_TCP 1
#define LWIP_UDP 1
#define LWIP_DNS 0
#define LWIP_IGMP 0
#define LWIP_DHCP 0
#define LWIP_AUTOIP 0
#define IP_FORWARD 0
#define IP_REASSEMBLY 1
#define IP_FRAG 1

/* TCP sized for a serial link: segments that fit the PPP MTU, a window of a few of them. */
#define TCP_MSS 1400
#define TCP_WND (8 * TCP_MSS)
#define TCP_SND_BUF (8 * TCP_MSS)
#define TCP_SND_QUEUELEN (4 * TCP_SND_BUF / TCP_MSS)
#define MEMP_NUM_TCP_PCB 32
#define MEMP_NUM_TCP_PCB_LISTEN 16
#define MEMP_NUM_TCP_SEG 128
#define LWIP_TCP_KEEPALIVE 1
#define TCP_LISTEN_BACKLOG 0

#define LWIP_NETIF_LINK_CALLBACK 0
#define LWIP_NETIF_STATUS_CALLBACK 0
#define LWIP_SINGLE_NETIF 0

/* The device's end: PAP may be demanded (not by default), addresses given to the peer. */
#define PPP_SUPPORT 1
#define PPPOS_SUPPORT 1
#define PPPOE_SUPPORT 0
#define PPPOL2TP_SUPPORT 0
#define PPP_IPV4_SUPPORT 1
#define PPP_IPV6_SUPPORT 0
#define PPP_NOTIFY_PHASE 0
#define PPP_INPROC_IRQ_SAFE 0
#define PAP_SUPPORT 1
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
#define LCP_ECHOINTERVAL 0
#define LCP_MAXECHOFAILS 3
#define NUM_PPP 1
#define MEMP_NUM_PPP_PCB 1
#define MEMP_NUM_PPPOS_INTERFACES 1
#define MEMP_NUM_SYS_TIMEOUT 64
#define LWIP_STATS 0
#define PPP_STATS_SUPPORT 0

#endif /* DEVSIM_LWIPOPTS_H */
