// Process-wide state of the probe that does not depend on the server build:
// who and where this process is, its settings, and the run-time switches
// every call reads.
#pragma once

#include <sys/types.h>

#include "base/tav_export.h"

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

// Identity of this process and node.
extern pid_t en_my_pid;
extern char en_my_pname[33];
extern char en_my_nname[33];
extern char en_my_ip[16];
extern char en_my_dname[33];
extern int en_my_nid;
extern char en_my_scode;
extern char en_my_dcode;
extern char en_my_pcode;

// Settings.
extern char* en_config_file;
extern int en_qel_check_mode;
extern int en_qel_check_port;
extern int en_qel_check_time;
extern char en_qel_check_home[64];
extern int en_dbms_wait_gtuid;
extern int en_ip_keep_mode;
extern int en_gtuid_create;
extern int en_gtuid_create_keep;
extern int en_qel_gtuid_clear_end;
extern int en_qel_server_mode;
extern int en_putClass;
extern int en_gtuid_proc_mode;
extern int en_mzp_qsend;

// Message queues, one run of keys per family; ids are -1 when not open. A
// family with count 0 has no queues.
extern key_t en_gtuid_queue_key;
extern key_t en_tcode_queue_key;
extern key_t en_tcod6_queue_key;
extern int en_gtuid_queue_count;
extern int en_tcode_queue_count;
extern int en_tcod6_queue_count;
extern int* en_gtuid_queue_id;
extern int* en_tcode_queue_id;
extern int* en_tcod6_queue_id;

// Logging and the two control segments; exported so that adapter code linked
// against the library logs the same way.
TAV_EXPORT extern int en_log;
TAV_EXPORT extern int en_log_level;
TAV_EXPORT extern long en_log_size;
TAV_EXPORT extern char en_log_path[200];
TAV_EXPORT extern char en_log_file[256];
TAV_EXPORT extern char en_start_log_path[200];
TAV_EXPORT extern key_t en_log_shmkey;
TAV_EXPORT extern int en_log_shmid;
TAV_EXPORT extern mlogshm* en_log_info;
TAV_EXPORT extern mlogshm* en_ath_info;
extern key_t en_attach_shmkey;
extern int en_attach_shmid;
extern int en_qel_full;
extern int en_bmt_mode;
}

namespace tav {
// Set when start-up failed: every override then passes its call through.
extern int bypass;
}  // namespace tav
