/*
 * Exported C runtime library of libudptrans.so.
 *
 * Plain functions with unmangled names, usable from C and C++: the logging
 * facility (per-source thresholds, optional ring buffer drained by its own
 * thread, output redirection), monotonic clocks, IPv4 address helpers and
 * socket transfers with time limits. Everything here may be called from any
 * thread unless a comment says otherwise.
 */
#ifndef UDPTRANS_UDPTRANS_API_H
#define UDPTRANS_UDPTRANS_API_H

#include <netinet/in.h>
#include <stdint.h>
#include <sys/select.h>
#include <sys/socket.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UDPTRANS_API __attribute__((visibility("default")))

/* ---- Logging ---------------------------------------------------------------
 * Log ids 0..299 name the source of a line. 299 carries the byte dumps of
 * log_print_bytes; 298 never gets callback-only delivery. A line is written
 * when its id's threshold is at most its level; threshold 8 silences an id.
 * Ids outside 0..299 are never output: log_get_priority reports 8 for them,
 * log_set_priority ignores them (a negative id sets all 300) and log_print_mod
 * drops their lines.
 */
#define LOG_ID_COUNT 300
#define LOG_ID_BYTES 299
#define LOG_ID_NO_CALLBACK 298

/* Receives every delivered line on the logging thread. flag is 1 for a level-7
 * line or when time stamps are on. line is NUL-terminated, valid only during
 * the call; length excludes the NUL. The result is ignored. */
typedef int (*log_callback_fn)(int id, int level, int flag, const char* line, int length);

/* Starts a detached thread named `name` that runs `entry(NULL)`; returns 0 when
 * the thread runs, non-zero otherwise. log_prt_init uses it for the ring
 * buffer's drain thread "log_print", which runs until the process ends. */
typedef int (*log_spawn_fn)(const char* name, void* (*entry)(void*));

UDPTRANS_API void log_print_mod(int id, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
UDPTRANS_API void log_print_bytes(const unsigned char* buffer, int offset, unsigned int length);
UDPTRANS_API int log_get_priority(int id);
UDPTRANS_API void log_set_priority(int id, int priority);
UDPTRANS_API void log_set_mode(int mode);
UDPTRANS_API void log_set_callbacker(int level, log_callback_fn callback);
UDPTRANS_API void log_set_filter(const void* block); /* copies 272 bytes */
UDPTRANS_API void log_set_timestamp_en(int on);
UDPTRANS_API int log_prt_init(int mode, int units, log_spawn_fn spawn);
UDPTRANS_API unsigned int log_get_loss_cnt(void);

/* ---- Ring buffer (callers hold the log lock; log_print_mod does) ---------- */
typedef struct log_buf_item {
    uint16_t len;
    char* data;
} log_buf_item;

UDPTRANS_API int log_buf_init(unsigned int size);
UDPTRANS_API int log_buf_deinit(void);
UDPTRANS_API int log_buf_push_back(log_buf_item item);
UDPTRANS_API void log_buf_pop_front(void);
UDPTRANS_API log_buf_item log_buf_front(void);
UDPTRANS_API log_buf_item log_buf_back(void);

/* ---- Output redirection ---------------------------------------------------- */
UDPTRANS_API int log_redirection_output(const char* path);
UDPTRANS_API int log_redirection_dev(const char* path);
UDPTRANS_API int log_redirection_close(void);

/* ---- Clocks and addresses --------------------------------------------------- */
UDPTRANS_API unsigned int get_time_tick(void);
UDPTRANS_API uint64_t get_up_time(void);
UDPTRANS_API int makeAddrByString(int family, const char* text, unsigned short port,
                                  struct sockaddr_in* address);
UDPTRANS_API int makeAddr4ByInt(unsigned int address_value, unsigned short port,
                                struct sockaddr_in* address);

/* ---- Socket transfers ---------------------------------------------------------
 * Limits are milliseconds; 0xFFFFFFFF means no limit (plain blocking calls).
 * connectWithTimeOut alone takes microseconds. */
#define UTIL_NO_TIMEOUT 0xFFFFFFFFu

UDPTRANS_API int util_select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                             struct timeval* timeout);
UDPTRANS_API int util_recv(int fd, char* buffer, int length, unsigned int timeout_ms);
UDPTRANS_API int util_send(int fd, const char* buffer, int length, unsigned int timeout_ms);
UDPTRANS_API int util_recvn(int fd, char* buffer, int length, unsigned int timeout_ms, int* status);
UDPTRANS_API int util_sendn(int fd, const char* buffer, int length, unsigned int timeout_ms,
                            int* status);
UDPTRANS_API int sendn_with_error(int fd, const char* buffer, int length, unsigned int timeout_ms,
                                  int* error);
UDPTRANS_API int recv_with_timeout(int fd, void* buffer, int length, unsigned int timeout_ms);
UDPTRANS_API int send_with_timeout(int fd, const void* buffer, int length, unsigned int timeout_ms);
UDPTRANS_API int setNonBlock(int fd, int on);
UDPTRANS_API int connectWithTimeOut(int fd, const struct sockaddr* address,
                                    unsigned int timeout_us);
UDPTRANS_API int setTCPKeepAlive(int fd, int on);

#ifdef __cplusplus
}
#endif

#endif /* UDPTRANS_UDPTRANS_API_H */
