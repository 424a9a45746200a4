/* A GPIB driver library for tests without a board: exports the driver calls with the libraries' own
 * prototypes, records each call and its arguments, and answers from values the test sets through the
 * stub_* functions (resolved with dlsym).
 *
 * Built several ways:
 *   default               linux-gpib: ibpad/ibtmo/ibsre functions, long counts, ThreadIbcntl
 *   STUB_NI4882           NI4882 API: ibconfig instead, size_t counts, unsigned results, ThreadIbcnt only
 *   STUB_REGISTER         linux-gpib calls plus gpib-32's RegisterGpibGlobalsForThread pair; status is
 *                         published only through the registered words
 *   STUB_OMIT_IBASK       linux-gpib calls without ibask and ThreadIberr
 */
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))
#define MAX_BYTES 4096
#define MAX_ADDRS 64

static int g_sta, g_err;
static long g_cnt;
static int g_calls;
static char g_last[32];
static long long g_args[6];
static unsigned char g_written[MAX_BYTES];
static size_t g_written_len;
static unsigned char g_read[MAX_BYTES];
static size_t g_read_len;
static uint16_t g_addrs[MAX_ADDRS];
static int g_addrs_len;
static uint16_t g_listeners[MAX_ADDRS];
static int g_listeners_len;
static int g_ibdev_result, g_poll_byte, g_ask_value;

#ifdef STUB_REGISTER
static int g_register_code;
static int *r_sta, *r_err, *r_cnt;
static long* r_cntl;
#endif

/* --- Control --- */

EXPORT void stub_reset(void) {
    g_sta = g_err = 0;
    g_cnt = 0;
    g_calls = 0;
    g_last[0] = 0;
    memset(g_args, 0, sizeof g_args);
    g_written_len = g_read_len = 0;
    g_addrs_len = g_listeners_len = 0;
    g_ibdev_result = g_poll_byte = g_ask_value = 0;
#ifdef STUB_REGISTER
    g_register_code = 0;
    r_sta = r_err = r_cnt = NULL;
    r_cntl = NULL;
#endif
}
EXPORT void stub_set_status(int sta, int err, long cnt) {
    g_sta = sta;
    g_err = err;
    g_cnt = cnt;
}
EXPORT void stub_set_read_data(const void* data, size_t len) {
    g_read_len = len < MAX_BYTES ? len : MAX_BYTES;
    memcpy(g_read, data, g_read_len);
}
EXPORT void stub_set_listeners(const uint16_t* list, int n) {
    g_listeners_len = n < MAX_ADDRS ? n : MAX_ADDRS;
    memcpy(g_listeners, list, sizeof(uint16_t) * (size_t)g_listeners_len);
}
EXPORT void stub_set_ibdev_result(int ud) {
    g_ibdev_result = ud;
}
EXPORT void stub_set_poll_byte(int v) {
    g_poll_byte = v;
}
EXPORT void stub_set_ask_value(int v) {
    g_ask_value = v;
}
EXPORT int stub_calls(void) {
    return g_calls;
}
EXPORT const char* stub_last_call(void) {
    return g_last;
}
EXPORT long long stub_arg(int i) {
    return i >= 0 && i < 6 ? g_args[i] : -1;
}
EXPORT const unsigned char* stub_written(size_t* len) {
    *len = g_written_len;
    return g_written;
}
EXPORT int stub_addr_list(uint16_t* out, int max) {
    int n = g_addrs_len < max ? g_addrs_len : max;
    memcpy(out, g_addrs, sizeof(uint16_t) * (size_t)n);
    return g_addrs_len;
}
#ifdef STUB_REGISTER
EXPORT void stub_set_register_code(int code) {
    g_register_code = code;
}
#endif

/* --- Recording --- */

static void record(const char* name, long long a0, long long a1, long long a2, long long a3, long long a4,
                   long long a5) {
    ++g_calls;
    strncpy(g_last, name, sizeof g_last - 1);
    g_last[sizeof g_last - 1] = 0;
    g_args[0] = a0;
    g_args[1] = a1;
    g_args[2] = a2;
    g_args[3] = a3;
    g_args[4] = a4;
    g_args[5] = a5;
}

static void publish(void) {
#ifdef STUB_REGISTER
    if (r_sta) {
        *r_sta = g_sta;
        *r_err = g_err;
        *r_cnt = (int)g_cnt;
        *r_cntl = g_cnt;
    }
#endif
}

static void record_addrs(const uint16_t* list) {
    g_addrs_len = 0;
    while (g_addrs_len < MAX_ADDRS) {
        g_addrs[g_addrs_len] = list[g_addrs_len];
        if (list[g_addrs_len++] == 0xFFFF) break;
    }
}

static void find_listeners(uint16_t* results, long long limit) {
    int n = 0;
    for (; n < g_listeners_len && n < limit; ++n)
        results[n] = g_listeners[n];
    g_cnt = n;
}

static size_t do_read(void* buf, size_t count) {
    size_t n = g_read_len < count ? g_read_len : count;
    memcpy(buf, g_read, n);
    g_cnt = (long)n;
    return n;
}

static void do_write(const void* buf, size_t count) {
    g_written_len = count < MAX_BYTES ? count : MAX_BYTES;
    memcpy(g_written, buf, g_written_len);
    g_cnt = (long)count;
}

/* --- The driver calls --- */

#ifdef STUB_NI4882
typedef unsigned long result_t;
typedef size_t count_t;
typedef short addr_t;
#else
typedef int result_t;
typedef long count_t;
typedef uint16_t addr_t;
#endif

EXPORT void SendIFC(int board) {
    record("SendIFC", board, 0, 0, 0, 0, 0);
    publish();
}
EXPORT int ibdev(int board, int pad, int sad, int tmo, int eot, int eos) {
    record("ibdev", board, pad, sad, tmo, eot, eos);
    publish();
    return g_ibdev_result;
}
#ifdef STUB_NI4882
EXPORT void FindLstn(int board, const addr_t* list, addr_t* results, count_t limit) {
    record("FindLstn", board, 0, 0, (long long)limit, 0, 0);
#else
EXPORT void FindLstn(int board, const addr_t* list, addr_t* results, int limit) {
    record("FindLstn", board, 0, 0, limit, 0, 0);
#endif
    record_addrs((const uint16_t*)list);
    find_listeners((uint16_t*)results, (long long)limit);
    publish();
}
EXPORT result_t ibclr(int ud) {
    record("ibclr", ud, 0, 0, 0, 0, 0);
    publish();
    return (result_t)g_sta;
}
EXPORT result_t ibrsp(int ud, char* spr) {
    record("ibrsp", ud, 0, 0, 0, 0, 0);
    *spr = (char)g_poll_byte;
    publish();
    return (result_t)g_sta;
}
EXPORT result_t ibwrt(int ud, const void* buf, count_t count) {
    record("ibwrt", ud, 0, (long long)count, 0, 0, 0);
    do_write(buf, (size_t)count);
    publish();
    return (result_t)g_sta;
}
EXPORT result_t ibrd(int ud, void* buf, count_t count) {
    record("ibrd", ud, 0, (long long)count, 0, 0, 0);
    do_read(buf, (size_t)count);
    publish();
    return (result_t)g_sta;
}
EXPORT result_t ibwait(int ud, int mask) {
    record("ibwait", ud, mask, 0, 0, 0, 0);
    publish();
    return (result_t)g_sta;
}
#ifndef STUB_OMIT_IBASK
EXPORT result_t ibask(int ud, int option, int* value) {
    record("ibask", ud, option, 0, 0, 0, 0);
    *value = g_ask_value;
    publish();
    return (result_t)g_sta;
}
#endif
EXPORT result_t ibconfig(int ud, int option, int value) {
    record("ibconfig", ud, option, value, 0, 0, 0);
    publish();
    return (result_t)g_sta;
}

#ifdef STUB_REGISTER
/* Status reaches the caller through the registered words only. */
EXPORT int ThreadIbsta(void) {
    return 0;
}
EXPORT int ThreadIberr(void) {
    return 0;
}
EXPORT long ThreadIbcntl(void) {
    return 0;
}
EXPORT int RegisterGpibGlobalsForThread(int* sta, int* err, int* cnt, long* cntl) {
    record("RegisterGpibGlobalsForThread", 0, 0, 0, 0, 0, 0);
    if (g_register_code == 0 || g_register_code == 1) {
        r_sta = sta;
        r_err = err;
        r_cnt = cnt;
        r_cntl = cntl;
    }
    return g_register_code;
}
EXPORT int UnregisterGpibGlobalsForThread(void) {
    record("UnregisterGpibGlobalsForThread", 0, 0, 0, 0, 0, 0);
    r_sta = r_err = r_cnt = NULL;
    r_cntl = NULL;
    return 0;
}
#elif defined(STUB_NI4882)
EXPORT unsigned long ThreadIbsta(void) {
    return (unsigned long)(unsigned int)g_sta;
}
EXPORT unsigned long ThreadIberr(void) {
    return (unsigned long)(unsigned int)g_err;
}
EXPORT unsigned long ThreadIbcnt(void) {
    return (unsigned long)g_cnt;
}
#else
EXPORT int ThreadIbsta(void) {
    return g_sta;
}
#ifndef STUB_OMIT_IBASK
EXPORT int ThreadIberr(void) {
    return g_err;
}
#endif
EXPORT int ThreadIbcnt(void) {
    return (int)g_cnt;
}
EXPORT long ThreadIbcntl(void) {
    return g_cnt;
}
#endif

#ifndef STUB_NI4882
EXPORT int ibsre(int board, int v) {
    record("ibsre", board, v, 0, 0, 0, 0);
    publish();
    return g_sta;
}
EXPORT int ibpad(int ud, int pad) {
    record("ibpad", ud, pad, 0, 0, 0, 0);
    publish();
    return g_sta;
}
EXPORT int ibtmo(int ud, int code) {
    record("ibtmo", ud, code, 0, 0, 0, 0);
    publish();
    return g_sta;
}
#endif
