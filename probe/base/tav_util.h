// Small utilities of the probe: settings-file reader, socket loops over the
// real calls, address and port checks, process name, shared memory, strings.
#pragma once

#include <cstddef>
#include <cstdio>
#include <sys/ipc.h>
#include <sys/types.h>

extern "C" {
// ---- settings file -------------------------------------------------------
// Reads one logical line (comments, backslash continuations) into a newly
// allocated, NUL-terminated *line and returns its length; -562 for a line
// without characters (blank or comment only, and at end of file), -567 when
// memory runs out. The caller frees *line.
int tav_cfg_fgets(FILE* fp, char** line);
// Value of the first logical line that begins with `key` (prefix match), as a
// newly allocated text the caller frees; NULL when absent or empty.
char* tav_gets(const char* path, const char* key);
// Simpler reader: first physical line containing `needle`; the trimmed text
// after its first '=' goes into buf (at most n - 2 characters). Returns its
// length, 0 when nothing matches.
int tav_fgets(const char* path, const char* needle, char* buf, int n);

// ---- sockets (always through the real calls) -----------------------------
int tav_sck_nread(int fd, char* buf, int n);
int tav_sck_nwrite2(int fd, const char* buf, int n);
int tav_sck_nwrite(int fd, const char* buf, int n);
int tav_sck_connect(const char* ip, int port, int timeout_us);

// ---- checks --------------------------------------------------------------
int tav_ip_check(const char* text);
int tav_port_check(const char* text);
int tav_gethostbyname(const char* name, char* out /* 16 bytes */);

// ---- processes and shared memory -----------------------------------------
char* tav_getproc(pid_t pid, char* out, size_t outlen);
int tav_getpname(pid_t pid);
void* tav_shm_get(key_t key, int* id, size_t size, int flags, int clear);

// ---- strings -------------------------------------------------------------
char* tav_rtrim(char* s);
char* tav_ltrim(char* s);
char* tav_trim(char* s);
char* tav_replace(char* s, int from, int to);
char* tav_nreplace(char* buf, int from, int to, int n);
char* tav_sreplace(char* s, const char* set, int to, int nset);
int tav_strccnt(const char* s, int c);
// Copies src to out (at most outlen - 1 characters and a NUL) with every
// `old` replaced by `neu`; returns the number of replacements.
int tav_strchg(const char* src, const char* old, const char* neu, char* out, size_t outlen);
char* tav_strstr(const char* hay, const char* needle, int n);
char* tav_strstr2(const char* hay, const char* needle, int n);
int tav_isdigit(const char* s, int n);
}

namespace tav {
// Monotonic clock in milliseconds.
long long now_ms();
// Writes all n bytes through the real send, waiting for room at most
// timeout_ms in total. Returns the number of bytes written: n, or fewer after
// a time-out, a closed peer, an error, or when *cancel (if given) was raised.
// Interrupted calls are retried; no SIGPIPE is raised.
size_t send_all(int fd, const void* buf, size_t n, int timeout_ms, const int* cancel = nullptr);
// Reads exactly n bytes, with the same waits and results as send_all.
size_t recv_all(int fd, void* buf, size_t n, int timeout_ms, const int* cancel = nullptr);
// True when fd becomes readable (or reports an end or error) within ms.
bool readable_within(int fd, int ms);
// Sleeps ms milliseconds, through interruptions.
void sleep_ms(long ms);
// The host's read of fd may not wait: MSG_DONTWAIT in its receive flags, or
// a descriptor opened or set O_NONBLOCK. Costs a system call: asked only
// where the library would otherwise wait.
bool read_must_not_wait(int fd, int recv_flags);
}  // namespace tav
