// One-time start-up of the probe, the exit handler and the fork handlers.
#include "core/tav_load.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/tav_check_home.h"
#include "base/tav_log.h"
#include "base/tav_util.h"
#include "core/tav_build.h"
#include "core/tav_hooks.h"
#include "core/tav_record_out.h"
#include "core/tav_settings.h"
#include "core/tav_tables.h"
#include "servers/tmax/tav_tmax.h"
#include "servers/tmax/tav_tmax_io.h"
#include "servers/webtob/tav_webtob.h"
#include "servers/webtob/tav_webtob_io.h"
#include "servers/weblogic/tav_wls.h"

extern "C" {
pthread_mutex_t mtx = PTHREAD_MUTEX_INITIALIZER;
}

namespace {

#if defined(TAV_BUILD_TMAX)
// An application server of the Tmax build tracks at most this many
// descriptors.
constexpr int kTmaxServerFdMax = 4096;
#endif

// The product code when the settings give none.
#if defined(TAV_BUILD_WEBTOB)
constexpr int kDefaultProductCode = 13;
#else
constexpr int kDefaultProductCode = 22;
#endif

// The thread running start-up, 0 when none. Its calls into the overrides
// during start-up pass straight through instead of waiting on `mtx`.
std::atomic<pthread_t> loader{0};

bool is_loader() { return loader.load(std::memory_order_acquire) == pthread_self(); }

// Fork handlers, registered before any thread can take `mtx`: a fork waits
// for a start-up in progress, so a child never inherits `mtx` or a table lock
// held by a thread that does not exist in it. What prepare took, the other
// two release: nothing changes in between, since the forking thread holds
// `mtx` (or is itself running start-up, which then already holds it).
void fork_prepare() {
  if (!is_loader()) pthread_mutex_lock(&mtx);
  if (en_mthr) tav::thread_table_lock_all();
}

void fork_release() {
  if (en_mthr) tav::thread_table_unlock_all();
  if (!is_loader()) pthread_mutex_unlock(&mtx);
}

// The child writes a log file of its own: the pid after the last point of
// the log file name becomes its own.
void rename_log_file() {
  char* dot = strrchr(en_log_file, '.');
  if (!dot) return;
  const size_t room = sizeof en_log_file - static_cast<size_t>(dot + 1 - en_log_file);
  snprintf(dot + 1, room, "%d", static_cast<int>(en_my_pid));
}

void fork_child() {
  fork_release();
  if (!en_handle || tav::bypass) return;
  en_my_pid = getpid();
  rename_log_file();
  tav::thread_table_after_fork();
  tav::record_routes_after_fork();
}

pthread_once_t fork_handlers_once = PTHREAD_ONCE_INIT;
void register_fork_handlers() { pthread_atfork(fork_prepare, fork_release, fork_child); }

// The start-up steps; returns the reason of a failure, or null.
const char* start(char* reason, size_t reason_len) {
  tav::hook_resolve(hook, tav::hook_lookup);
#if defined(TAV_BUILD_TMAX)
  tav::log_tmax_style = 1;
#endif
#if !TAV_WITH_JAVA
  tav::agent_fixed_wait_ms = 1500;  // these builds have no reply time-out setting
#endif

#if !defined(TAV_BUILD_TMAX)
  if (en_exit) en_exit = atexit(tav_exit);  // the Tmax build writes nothing at exit
#endif

  if (en_my_pid == 0) {
    en_my_pid = getpid();
    tav_getpname(en_my_pid);
  }
  if (en_thread_max == 0) en_thread_max = tav::table_size(sysconf(_SC_THREAD_THREADS_MAX), 4096);
#if defined(TAV_BUILD_TMAX)
  const bool fd_max_from_system = en_fd_max == 0;
#endif
  if (en_fd_max == 0) en_fd_max = tav::table_size(sysconf(_SC_OPEN_MAX), 1024);
#if defined(TAV_BUILD_TMAX)
  // The process class and the server's thread count size the tables; a
  // size set before start-up is kept.
  tav_tmax_init();
  if (fd_max_from_system && tav_tmax_proc == TAV_TMAX_SERVER)
    en_fd_max = std::min(en_fd_max, kTmaxServerFdMax);
#elif defined(TAV_BUILD_WEBTOB)
  tav::webtob::init();
#endif
  if (!en_mfd) {
    en_mfd = static_cast<mfd*>(calloc(static_cast<size_t>(en_fd_max), sizeof(mfd)));
    if (!en_mfd) return "mfd calloc";
  }
  if (!en_mthr) {
    en_mthr = static_cast<mthr*>(calloc(static_cast<size_t>(en_thread_max) + 1, sizeof(mthr)));
    if (!en_mthr) return "mthr calloc";
    if (int rc = pthread_key_create(&tav_mth_key, tav_thread_free); rc != 0) {
      snprintf(reason, reason_len, "key create(%d:%s)", rc, strerror(rc));
      return reason;
    }
  }

  if (en_my_nname[0] == 0) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0) snprintf(en_my_nname, sizeof en_my_nname, "%.32s", host);
  }
  if (en_my_ip[0] == 0) tav_gethostbyname(en_my_nname, en_my_ip);

  if (const char* err = tav::settings_read()) return err;
  if (en_mzp_qsend && !tav::record_routes_init()) return "record routes alloc";
  tav::settings_attach_segments();
  if (const char* err = tav::settings_read_lists()) return err;
#if defined(TAV_BUILD_TMAX)
  tav_tmax_geinfo();
#elif defined(TAV_BUILD_WEBTOB)
  tav::webtob::read_settings();
#endif
  if (en_my_pcode == 0) en_my_pcode = kDefaultProductCode;

  if (!en_ws_gtuid && !(en_ws_gtuid = tav::marked_records<gtuid_t>())) return "gtuid alloc";
#if defined(TAV_BUILD_WEBLOGIC)
  if (!en_wls_gtuid) {
    en_wls_gtuid = static_cast<gtuid_t*>(calloc(static_cast<size_t>(en_fd_max), sizeof(gtuid_t)));
    if (!en_wls_gtuid) return "gtuid alloc";
  }
#elif defined(TAV_BUILD_TMAX)
  if (!tav::tmax::make_records()) return "tmax gtuid alloc";
#elif defined(TAV_BUILD_WEBTOB)
  if (!tav::webtob::make_records()) return "webtob gtuid alloc";
#endif

  tav::settings_log_queues();
  TAV_LOG_T("M", "%s %s %s start. mode(%d) info(%d %d) a(%d) l(%d)\n", __DATE__, __TIME__,
            TAV_BANNER, en_qel_full, en_thread_max, en_fd_max, en_attach_shmid, en_log_shmid);
  tav_strlog("start.\n");
  return nullptr;
}

}  // namespace

void tav_load(void) {
  const int saved_errno = errno;
  pthread_once(&fork_handlers_once, register_fork_handlers);
  pthread_mutex_lock(&mtx);
  if (__atomic_load_n(&en_handle, __ATOMIC_RELAXED) == 0) {
    loader.store(pthread_self(), std::memory_order_release);
    char reason[96];
    if (const char* err = start(reason, sizeof reason)) {
      // The host keeps running: every call passes through from now on.
      tav_scrlog("M", 1, "%s %s %s start error. ( %s )\n", __DATE__, __TIME__, TAV_BANNER, err);
      tav::bypass = 1;
      if (!en_mfd) en_fd_max = 0;  // nothing may index a table that is not there
    }
    __atomic_store_n(&en_handle, 1, __ATOMIC_RELEASE);
    loader.store(0, std::memory_order_release);
  }
  pthread_mutex_unlock(&mtx);
  errno = saved_errno;
}

void tav_exit(void) {
  // Waits for a start-up in progress, unless this thread is running it.
  if (is_loader()) return;
  const int saved_errno = errno;
  pthread_mutex_lock(&mtx);
  pthread_mutex_unlock(&mtx);
#if !defined(TAV_BUILD_WEBTOB)
  TAV_LOG_T("M", "%s %s %s stop.\n", __DATE__, __TIME__, TAV_BANNER);
#endif
  // The tables stay: other threads may still be in an override.
  tav_strlog("stop.\n");
  errno = saved_errno;
}

namespace tav {

bool load_slow() {
  if (is_loader()) return false;
  tav_load();
  return bypass == 0;
}

}  // namespace tav
