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
 *
 * The linux-gpib build can also fail the way the genuine library does without a board
 * (stub_emulate_linux_gpib): it reads IB_CONFIG (else its compiled-in /etc/gpib.conf) on every board
 * call until the file parses, opens the board's device node, and leaves the status the library leaves:
 *   - configuration file missing: per-thread ERR, EARG, and the count holds fopen's errno (the library
 *     sets EDVR with the errno, then its descriptor check overwrites the error with EARG);
 *   - configuration file that does not parse (a CR outside comments and texts included: the lexer
 *     takes it for a stray character): ERR, EARG, the count left as it was;
 *   - board index without an interface block: ERR, EARG, count 0;
 *   - device node missing, refused, or a GPIB node (character device, major 160) without a driver
 *     behind it (ENXIO): ERR, EDVR, count EBADF (the library's status poll on the unopened node
 *     overwrites the open's errno);
 *   - GPIB node whose driver has no board configured (stub_set_kernel): the open succeeds and every
 *     request fails with ENODEV: ERR, EDVR, count ENODEV;
 *   - anything else at the node's path (plain file, FIFO, another driver's device): the open
 *     succeeds and the first request fails with ENOTTY: ERR, EDVR, count ENOTTY;
 *   - ibdev: -1 with ERR in the thread's status only when the file fails (the globals stay stale);
 *     an address above 30 once the file is loaded crashes, as the library dereferences an
 *     uninitialised pointer there (here: abort()).
 * NI builds can leave out boards (stub_set_boards): ibask on a missing board index gives ERR, ENEB.
 * On Windows the NI flavours are ni4882.dll and gpib-32.dll; there is no device node to look at, so
 * every node counts as missing.
 */
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#else
#include <sys/sysmacros.h>
#include <unistd.h>
#define EXPORT __attribute__((visibility("default")))
#endif
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
/* Reads that time out (ERR, TIMO, EABO) before the data comes, each bringing g_silent_bytes of it
 * first, as a board's read does when the instrument falls silent; g_read_pos is where they left it. */
static int g_silent_reads;
static size_t g_silent_bytes, g_read_pos;
/* The status of the current call where it is not the scripted one (a timed-out read). */
static int g_override, g_o_sta, g_o_err;

#define ERR_BIT 0x8000
#define TIMO_BIT 0x4000
#define EABO_CODE 6
#define EDVR_CODE 0
#define EARG_CODE 4
#define ENEB_CODE 7
#define ETAB_CODE 20
#define BOARDS 16

static int g_board_mask = 0xFFFF; /* every board exists until a test says otherwise */
static int g_emulate;
static char g_node_prefix[256];
static int g_node_errno;
static int g_config_loaded;
static int g_configured[BOARDS];

/* The kernel side behind major 160, as stub_set_kernel sets it. */
enum { KERNEL_NO_DRIVER, KERNEL_NO_BOARD, KERNEL_BOARD };
static int g_kernel = KERNEL_BOARD;
#define GPIB_MAJOR 160

/* As the library's build writes it: "$(sysconfdir)/gpib.conf", found in the file by whoever looks. */
#ifndef STUB_CONFIG_FILE
#define STUB_CONFIG_FILE "/etc/gpib.conf"
#endif
static const char default_config_file[] = STUB_CONFIG_FILE;

/* The process-wide copies linux-gpib exports; synced at the end of each call except ibdev's early
 * failure. */
EXPORT volatile int ibsta, iberr, ibcnt;
EXPORT volatile long ibcntl;

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
    g_silent_reads = 0;
    g_silent_bytes = g_read_pos = 0;
    g_override = 0;
    g_board_mask = 0xFFFF;
    g_emulate = 0;
    g_node_prefix[0] = 0;
    g_node_errno = 0;
    g_config_loaded = 0;
    memset(g_configured, 0, sizeof g_configured);
    g_kernel = KERNEL_BOARD;
    ibsta = iberr = ibcnt = 0;
    ibcntl = 0;
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
EXPORT void stub_set_silent_reads(int n, size_t bytes_each) {
    g_silent_reads = n;
    g_silent_bytes = bytes_each;
    g_read_pos = 0;
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
EXPORT void stub_set_boards(int mask) {
    g_board_mask = mask;
}
EXPORT void stub_emulate_linux_gpib(const char* node_prefix) {
    g_emulate = 1;
    strncpy(g_node_prefix, node_prefix, sizeof g_node_prefix - 1);
    g_node_prefix[sizeof g_node_prefix - 1] = 0;
}
EXPORT void stub_set_kernel(int state) {
    g_kernel = state;
}
/* Tests run as root, who may open anything: this errno stands in for a refused open. */
EXPORT void stub_refuse_node(int err) {
    g_node_errno = err;
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
    g_override = 0;
    strncpy(g_last, name, sizeof g_last - 1);
    g_last[sizeof g_last - 1] = 0;
    g_args[0] = a0;
    g_args[1] = a1;
    g_args[2] = a2;
    g_args[3] = a3;
    g_args[4] = a4;
    g_args[5] = a5;
}

static int cur_sta(void) {
    return g_override ? g_o_sta : g_sta;
}
static int cur_err(void) {
    return g_override ? g_o_err : g_err;
}
static void publish(void) {
    ibsta = cur_sta();
    iberr = cur_err();
    ibcnt = (int)g_cnt;
    ibcntl = g_cnt;
#ifdef STUB_REGISTER
    if (r_sta) {
        *r_sta = cur_sta();
        *r_err = cur_err();
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
    const size_t left = g_read_len - g_read_pos;
    size_t n = left < count ? left : count;
    memcpy(buf, g_read + g_read_pos, n);
    g_cnt = (long)n;
    if (g_silent_reads > 0) {
        /* Timed out: the bytes that came before the silence, no more. */
        --g_silent_reads;
        n = n < g_silent_bytes ? n : g_silent_bytes;
        g_read_pos += n;
        g_cnt = (long)n;
        g_override = 1;
        g_o_sta = ERR_BIT | TIMO_BIT;
        g_o_err = EABO_CODE;
    }
    return n;
}

static void do_write(const void* buf, size_t count) {
    g_written_len = count < MAX_BYTES ? count : MAX_BYTES;
    memcpy(g_written, buf, g_written_len);
    g_cnt = (long)count;
}

/* --- linux-gpib's failures without a board --- */

static void sync_globals(void) {
    ibsta = g_sta;
    iberr = g_err;
    ibcnt = (int)g_cnt;
    ibcntl = g_cnt;
}

/* A small reader of gpib.conf: blocks of "name = value", "name yes|no" or a bare name; an interface
 * block starts with "minor = N". Enough to tell a readable file from a broken one. */
struct conf_reader {
    FILE* f;
    char tok[256];
    int quoted;
};

static int conf_next(struct conf_reader* r) {
    int c, n = 0;
    r->quoted = 0;
    for (;;) {
        c = fgetc(r->f);
        if (c == EOF) return 0;
        if (c == '/') {
            int d = fgetc(r->f);
            if (d == '*') {
                int prev = 0;
                while ((c = fgetc(r->f)) != EOF && !(prev == '*' && c == '/'))
                    prev = c;
                continue;
            }
            if (d != EOF) ungetc(d, r->f);
        }
        if (c != ' ' && c != '\t' && c != '\n') break; /* a CR is a token of its own */
    }
    if (c == '"') {
        r->quoted = 1;
        while ((c = fgetc(r->f)) != EOF && c != '"')
            if (n < 255) r->tok[n++] = (char)c;
        r->tok[n] = 0;
        return c == '"' ? 1 : -1;
    }
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
        while ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-') {
            if (n < 255) r->tok[n++] = (char)c;
            c = fgetc(r->f);
        }
        if (c != EOF) ungetc(c, r->f);
        r->tok[n] = 0;
        return 1;
    }
    r->tok[0] = (char)c;
    r->tok[1] = 0;
    return 1;
}

static int is_word(const struct conf_reader* r) {
    const char c = r->tok[0];
    return r->quoted || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

static int parse_blocks(struct conf_reader* r, int* configured) {
    int t;
    while ((t = conf_next(r)) == 1) {
        const int iface = strcmp(r->tok, "interface") == 0;
        if (!iface && strcmp(r->tok, "device") != 0) return -1;
        if (conf_next(r) != 1 || strcmp(r->tok, "{") != 0) return -1;
        if (iface) {
            char* end = NULL;
            long minor;
            if (conf_next(r) != 1 || strcmp(r->tok, "minor") != 0) return -1;
            if (conf_next(r) != 1 || strcmp(r->tok, "=") != 0) return -1;
            if (conf_next(r) != 1) return -1;
            minor = strtol(r->tok, &end, 0);
            if (*end || minor < 0 || minor >= BOARDS) return -1;
            configured[minor] = 1;
        }
        for (;;) {
            if (conf_next(r) != 1) return -1;
            if (strcmp(r->tok, "}") == 0) break;
            if (!is_word(r) || r->quoted) return -1;
            if (conf_next(r) != 1) return -1;
            if (strcmp(r->tok, "=") == 0) {
                if (conf_next(r) != 1 || !is_word(r)) return -1;
            } else if (strcmp(r->tok, "yes") != 0 && strcmp(r->tok, "no") != 0) {
                return -1;
            }
        }
    }
    return t;
}

/* As the library's configuration step: once parsed it stays parsed. */
static int load_config(void) {
    struct conf_reader r;
    int configured[BOARDS] = {0};
    const char* path = getenv("IB_CONFIG");
    int ok;
    if (g_config_loaded) return 0;
    r.f = fopen(path ? path : default_config_file, "r");
    if (!r.f) {
        g_err = EDVR_CODE;
        g_cnt = errno;
        return -1;
    }
    ok = parse_blocks(&r, configured) == 0;
    fclose(r.f);
    if (!ok) return -1;
    memcpy(g_configured, configured, sizeof configured);
    g_config_loaded = 1;
    return 0;
}

/* -1 with errno when the open fails; else the errno every request on the open node fails with, or 0. */
static int open_node(int board) {
#ifdef _WIN32
    (void)board;
    errno = ENOENT;
    return -1;
#else
    char path[300];
    struct stat st;
    int fd;
    if (board < 0 || board >= BOARDS || !g_configured[board]) {
        errno = ENOENT; /* the board's device name is empty */
        return -1;
    }
    snprintf(path, sizeof path, "%s%d", g_node_prefix, board);
    if (stat(path, &st) == 0 && g_node_errno) {
        errno = g_node_errno;
        return -1;
    }
    if (stat(path, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == GPIB_MAJOR) {
        /* The test machine has no GPIB driver: what would be behind the node is the stub's to say. */
        if (g_kernel == KERNEL_NO_DRIVER) {
            errno = ENXIO;
            return -1;
        }
        return g_kernel == KERNEL_NO_BOARD ? ENODEV : 0;
    }
    fd = open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) return -1;
    close(fd);
    return ENOTTY;
#endif
}

static int fail(int err, long cnt) {
    g_sta = ERR_BIT;
    g_err = err;
    g_cnt = cnt;
    sync_globals();
    return -1;
}

static int node_status(int board) {
    const int request_errno = open_node(board);
    if (request_errno < 0) return fail(EDVR_CODE, EBADF);
    if (request_errno > 0) return fail(EDVR_CODE, request_errno);
    return 0;
}

/* The board-level calls: 0 when the board is usable and the call goes on as recorded. */
static int emulate_board(int board) {
    if (!g_emulate) return 0;
    if (load_config() < 0) return fail(EARG_CODE, g_cnt);
    g_err = 0;
    g_cnt = 0;
    if (board < 0 || board >= BOARDS || !g_configured[board]) return fail(EARG_CODE, 0);
    return node_status(board);
}

static int emulate_ibdev(int board, int pad, int sad) {
    if (!g_emulate) return 0;
    if (load_config() < 0) {
        g_sta = ERR_BIT; /* the thread's status only */
        return -1;
    }
    if (pad > 30 || sad - 0x60 > 30) {
        g_err = ETAB_CODE;
        abort();
    }
    g_err = 0;
    g_cnt = 0;
    return node_status(board);
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
    if (emulate_board(board) < 0) return;
    publish();
}
EXPORT int ibdev(int board, int pad, int sad, int tmo, int eot, int eos) {
    record("ibdev", board, pad, sad, tmo, eot, eos);
    if (emulate_ibdev(board, pad, sad) < 0) return -1;
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
    if (emulate_board(board) < 0) return;
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
    return (result_t)cur_sta();
}
EXPORT result_t ibwait(int ud, int mask) {
    record("ibwait", ud, mask, 0, 0, 0, 0);
    publish();
    return (result_t)g_sta;
}
#ifndef STUB_OMIT_IBASK
EXPORT result_t ibask(int ud, int option, int* value) {
    record("ibask", ud, option, 0, 0, 0, 0);
    if (ud >= 0 && ud < BOARDS) {
        if (emulate_board(ud) < 0) return (result_t)g_sta;
        if (!(g_board_mask & (1 << ud))) {
            g_sta = ERR_BIT;
            g_err = ENEB_CODE;
            g_cnt = 0;
            publish();
            return (result_t)g_sta;
        }
        if (g_board_mask != 0xFFFF) { /* a board that exists answers cleanly */
            g_sta = 0x100;
            g_err = 0;
        }
    }
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
    return (unsigned long)(unsigned int)cur_sta();
}
EXPORT unsigned long ThreadIberr(void) {
    return (unsigned long)(unsigned int)cur_err();
}
EXPORT unsigned long ThreadIbcnt(void) {
    return (unsigned long)g_cnt;
}
#else
EXPORT int ThreadIbsta(void) {
    return cur_sta();
}
#ifndef STUB_OMIT_IBASK
EXPORT int ThreadIberr(void) {
    return cur_err();
}
#endif
EXPORT int ThreadIbcnt(void) {
    return (int)g_cnt;
}
EXPORT long ThreadIbcntl(void) {
    return g_cnt;
}
#endif

#if !defined(STUB_NI4882) && !defined(STUB_REGISTER)
/* Only linux-gpib has it; the backend tells the library family by it. */
EXPORT const char* gpib_error_string(int error) {
    return error == EARG_CODE ? "EARG 4: Bad argument" : "libgpib: Unknown error code";
}
#endif

#ifndef STUB_NI4882
EXPORT int ibsre(int board, int v) {
    record("ibsre", board, v, 0, 0, 0, 0);
    if (emulate_board(board) < 0) return g_sta;
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
