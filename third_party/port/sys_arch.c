/* System services lwIP needs without an OS layer: a millisecond clock
 * counted from initialisation, one process-wide critical section, a random
 * source seeded from the time, and the input hook's dispatch. */
#include "lwip/opt.h"

#include "lwip/sys.h"

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include "velmora_lwip_port.h"

static struct timespec clock_base;
static int clock_started;
static pthread_mutex_t protect_lock;
static pthread_once_t protect_once = PTHREAD_ONCE_INIT;
static uint64_t rand_state;
static velmora_ip4_input_handler ip4_handler;

static void protect_init(void)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    /* The stack may enter a protected section from within another. */
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&protect_lock, &attr);
    pthread_mutexattr_destroy(&attr);
}

void velmora_lwip_sys_init(void)
{
    struct timespec now;
    pthread_once(&protect_once, protect_init);
    /* Set once: a clock running backwards would stall every pending timer. */
    if (!clock_started) {
        clock_gettime(CLOCK_MONOTONIC, &clock_base);
        clock_started = 1;
    }
    clock_gettime(CLOCK_REALTIME, &now);
    rand_state = ((uint64_t)now.tv_sec << 32) ^ (uint64_t)now.tv_nsec ^ 0x9E3779B97F4A7C15ull;
}

u32_t sys_now(void)
{
    struct timespec now;
    int64_t ms;
    if (!clock_started)
        velmora_lwip_sys_init();
    clock_gettime(CLOCK_MONOTONIC, &now);
    ms = (int64_t)(now.tv_sec - clock_base.tv_sec) * 1000 + (now.tv_nsec - clock_base.tv_nsec) / 1000000;
    return (u32_t)ms;
}

u32_t sys_jiffies(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (u32_t)((uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u);
}

sys_prot_t sys_arch_protect(void)
{
    pthread_once(&protect_once, protect_init);
    pthread_mutex_lock(&protect_lock);
    return 0;
}

void sys_arch_unprotect(sys_prot_t pval)
{
    (void)pval;
    pthread_mutex_unlock(&protect_lock);
}

unsigned int velmora_lwip_rand(void)
{
    /* xorshift64*: enough for PPP magic numbers and identifiers. */
    uint64_t x;
    SYS_ARCH_DECL_PROTECT(lev);
    SYS_ARCH_PROTECT(lev);
    if (rand_state == 0)
        rand_state = 0x2545F4914F6CDD1Dull ^ (uint64_t)time(NULL);
    x = rand_state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    rand_state = x;
    SYS_ARCH_UNPROTECT(lev);
    return (unsigned int)((x * 0x2545F4914F6CDD1Dull) >> 32);
}

void velmora_lwip_assert(const char *message, const char *file, int line)
{
    zzprintf("lwIP assertion \"%s\" failed at %s:%d", message, file, line);
    abort();
}

void velmora_lwip_set_ip4_input_handler(velmora_ip4_input_handler handler)
{
    ip4_handler = handler;
}

int velmora_lwip_ip4_input_hook(struct pbuf *p, struct netif *inp)
{
    if (ip4_handler)
        return ip4_handler(p, inp);
    return 0;
}
