/* Compiler and platform glue for lwIP on Linux (gcc, little or big endian
 * as the host is). */
#ifndef VELMORA_LWIP_ARCH_CC_H
#define VELMORA_LWIP_ARCH_CC_H

#include <stdio.h>
#include <stdlib.h>

#ifndef BYTE_ORDER
#include <endian.h>
#endif

#define LWIP_TIMEVAL_PRIVATE 0
#include <sys/time.h>

#define LWIP_ERRNO_INCLUDE <errno.h>

/* NO_SYS: the protection level type lives here. */
typedef int sys_prot_t;

#ifdef __cplusplus
extern "C" {
#endif
/* The program's printf-style log function (debug level 6). */
void zzprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
int velmora_lwip_diag_enabled(void);
unsigned int velmora_lwip_rand(void);
void velmora_lwip_assert(const char *message, const char *file, int line);
#ifdef __cplusplus
}
#endif

#define LWIP_PLATFORM_DIAG(x)                                                                                \
    do {                                                                                                     \
        if (velmora_lwip_diag_enabled())                                                                     \
            zzprintf x;                                                                                      \
    } while (0)
#define LWIP_PLATFORM_ASSERT(x) velmora_lwip_assert((x), __FILE__, __LINE__)
#define LWIP_RAND() ((u32_t)velmora_lwip_rand())

#endif /* VELMORA_LWIP_ARCH_CC_H */
