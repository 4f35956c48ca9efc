/* Entry points of the lwIP port that the PPP adapter uses. */
#ifndef VELMORA_LWIP_PORT_H
#define VELMORA_LWIP_PORT_H

#ifdef __cplusplus
extern "C" {
#endif

struct pbuf;
struct netif;

/* Returns non-zero when it took the packet (and freed it). */
typedef int (*velmora_ip4_input_handler)(struct pbuf *p, struct netif *inp);

/* Starts the millisecond clock (first call only) and seeds the random source. */
void velmora_lwip_sys_init(void);
void velmora_lwip_set_ip4_input_handler(velmora_ip4_input_handler handler);

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_LWIP_PORT_H */
