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

char* en_config_file;
int en_qel_check_mode;
int en_qel_check_port;
int en_qel_check_time = 500;
char en_qel_check_home[64] = "/tmp/.tav";
int en_dbms_wait_gtuid;
int en_ip_keep_mode = 1;
int en_gtuid_create = 1;
int en_gtuid_create_keep;
int en_qel_gtuid_clear_end;
int en_qel_server_mode;
int en_putClass;
int en_gtuid_proc_mode;
int en_mzp_qsend;

key_t en_gtuid_queue_key;
key_t en_tcode_queue_key;
key_t en_tcod6_queue_key;
int en_gtuid_queue_count = 1;
int en_tcode_queue_count = 1;
int en_tcod6_queue_count = 1;
int* en_gtuid_queue_id;
int* en_tcode_queue_id;
int* en_tcod6_queue_id;

int en_log;
int en_log_level;
long en_log_size = 10L * 1048576;
char en_log_path[200] = ".";
char en_log_file[256];
char en_start_log_path[200];
key_t en_log_shmkey;
int en_log_shmid = -1;
mlogshm* en_log_info;
mlogshm* en_ath_info;
key_t en_attach_shmkey;
int en_attach_shmid = -1;
int en_qel_full;
int en_bmt_mode;

namespace tav {
int bypass;
}  // namespace tav
