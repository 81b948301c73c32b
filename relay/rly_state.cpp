#include "rly_state.h"

#include <cstring>

extern "C" {
int en_check_port = 0;
char en_check_home[64] = "/tmp/.tav";
char en_agtalias[65] = "";
char en_hostname[33] = "";
char en_ipaddr[16] = "";
char en_domainname[33] = "";
char en_prodcode[3] = "";
char en_starttime[15] = "";

int en_gtuid_thread_count = 1;
int en_gtuid_queue_count = 1;
char en_gtuid_queue_name[256] = "";
int en_gtuid_queue_maxmsg = 4096;
int en_tcode_thread_count = 0;
int en_tcode_queue_count = 0;
char en_tcode_queue_name[256] = "";
int en_tcode_queue_maxmsg = 1024;
int en_gtuid_msend_count = 0;
int en_tcode_msend_count = 0;
int en_ring_on = 1;
int en_ring_gtuid_slots = RLY_RING_GTUID_SLOTS;
int en_ring_tcode_slots = RLY_RING_TCODE_SLOTS;
int en_ring_mode = RLY_RING_MODE;

int en_master_max_cnt = 1;
char en_master_ip[20] = "";
char en_master_ip2[20] = "";
int en_master_port = 0;
int en_master_port2 = 0;
int en_master_ctime = 10;
int en_master_ptime = 10;
int en_master_conn = 0;
pthread_mutex_t* en_lock = nullptr;
int* en_master_fd = nullptr;
int* en_master_sock = nullptr;
char* en_data = nullptr;
int en_data_sz = 1024;

tav_thr* en_thread = nullptr;
int en_thread_count = 0;
volatile int en_run = 0;

int en_gtuid_qid[RLY_GTUID_QUEUES_MAX];
int en_tcode_qid[RLY_TCODE_QUEUES_MAX];
}

void rly_state_reset() {
  en_log = 0;
  en_log_level = 0;
  en_log_path[0] = '\0';
  en_log_file[0] = '\0';
  en_log_sz = 104857600;
  en_agent[0] = '\0';
  en_check_port = 0;
  strcpy(en_check_home, "/tmp/.tav");
  en_agtalias[0] = en_hostname[0] = en_ipaddr[0] = en_domainname[0] = '\0';
  en_prodcode[0] = en_starttime[0] = '\0';
  en_gtuid_thread_count = 1;
  en_gtuid_queue_count = 1;
  en_gtuid_queue_name[0] = '\0';
  en_gtuid_queue_maxmsg = 4096;
  en_tcode_thread_count = 0;
  en_tcode_queue_count = 0;
  en_tcode_queue_name[0] = '\0';
  en_tcode_queue_maxmsg = 1024;
  en_gtuid_msend_count = en_tcode_msend_count = 0;
  en_ring_on = 1;
  en_ring_gtuid_slots = RLY_RING_GTUID_SLOTS;
  en_ring_tcode_slots = RLY_RING_TCODE_SLOTS;
  en_ring_mode = RLY_RING_MODE;
  en_master_max_cnt = 1;
  en_master_ip[0] = en_master_ip2[0] = '\0';
  en_master_port = en_master_port2 = 0;
  en_master_ctime = 10;
  en_master_ptime = 10;
  en_master_conn = 0;
  en_run = 0;
  for (int& q : en_gtuid_qid) q = -1;
  for (int& q : en_tcode_qid) q = -1;
}
