#include "rly_start.h"

#include <cstdio>
#include <ctime>

#include "rly_master.h"
#include "rly_settings.h"
#include "rly_state.h"
#include "rly_stop.h"
#include "rly_thread.h"

int rly_main(const rly_build_t& b, const char* path) {
  rly_select_build(b);
  rly_state_reset();
  tav_set_signal();

  int rc = tav_cfg_init(path);
  if (rc < 0) {
    tav_scrlog(__FILE__, __LINE__, "\nTavRLY config file(%s) init error. code(%d)\n",
               path ? path : "", rc);
    return -178;
  }
  RLY_LOG_T("MZZP000001 start ! (%s)\n", b.name);

  rc = rly_sessions_alloc();
  if (rc < 0) {
    rly_sessions_free();
    return rc;
  }
  time_t now = time(nullptr);
  tm t{};
  localtime_r(&now, &t);
  char stamp[64];
  snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1,
           t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  snprintf(en_starttime, sizeof en_starttime, "%.14s", stamp);

  rc = tav_thread_start();
  if (rc < 0) {
    RLY_LOG_T("thread start error(%d) !\n", rc);
    // Workers started before the failure are not left behind.
    tav_stop_routine();
    rly_sessions_free();
    return -262;
  }

  rly_master_loop();
  if (int sig = rly_stop_signal()) RLY_LOG_T("tav thread stop signal(%d) recvced !\n", sig);
  // Readers send their pending batches while they stop, so the sessions are
  // closed only after them.
  tav_stop_routine();
  tav_master_close(-1);
  rly_sessions_free();
  RLY_LOG_T("MZZP000001 exit !\n");
  return 0;
}
