#include "base/tav_globals.h"

int en_handle;
int en_exit = 1;
int en_thread_max;
int en_fd_max;

pid_t en_my_pid;
char en_my_pname[33];
char en_my_nname[33];
char en_my_ip[16];
char en_my_dname[33];
int en_my_nid;
char en_my_scode;
char en_my_dcode;
char en_my_pcode;

int en_log;
int en_log_level;
int en_qel_full;
int en_bmt_mode;
mlogshm* en_log_info;
mlogshm* en_ath_info;
int en_log_shmid = -1;
int en_attach_shmid = -1;

namespace tav {
int bypass;
}  // namespace tav
