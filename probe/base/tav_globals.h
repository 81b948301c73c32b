// Process-wide state of the probe that does not depend on the server build:
// who and where this process is, and the run-time switches every call reads.
#pragma once

#include <sys/types.h>

// The log-control record; the mode segment has the same shape with the full
// mode in the first and the benchmark-time mode in the second int.
struct mlogshm {
  int logmode;
  int loglevel;
};
using mlogshm_t = mlogshm;
static_assert(sizeof(mlogshm) == 8);

extern "C" {
extern int en_handle;      // 1 once start-up has run (successfully or not)
extern int en_exit;        // 1 until the exit handler is registered
extern int en_thread_max;  // thread slots (the overflow record comes on top)
extern int en_fd_max;      // descriptor slots

extern pid_t en_my_pid;
extern char en_my_pname[33];
extern char en_my_nname[33];
extern char en_my_ip[16];
extern char en_my_dname[33];
extern int en_my_nid;
extern char en_my_scode;
extern char en_my_dcode;
extern char en_my_pcode;

extern int en_log;
extern int en_log_level;
extern int en_qel_full;
extern int en_bmt_mode;
extern mlogshm* en_log_info;
extern mlogshm* en_ath_info;
extern int en_log_shmid;
extern int en_attach_shmid;
}

namespace tav {
// Set when start-up failed: every override then passes its call through.
extern int bypass;
}  // namespace tav
