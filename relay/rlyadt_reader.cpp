// Queue readers. (The file name gives the log lines of this module the
// letter "A".)
#include <sys/ipc.h>
#include <sys/msg.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "rly_batch.h"
#include "rly_batcher.h"
#include "rly_build.h"
#include "rly_master.h"
#include "rly_reader.h"
#include "rly_state.h"

namespace {

// Serialises the re-creation of vanished queues.
std::mutex g_que_mu;
std::atomic<bool> g_raise_refused_logged{false};

constexpr int kBackoffFirstMs = 10;
// How often a held batch is offered to the sessions again.
constexpr int kHoldRetryMs = 100;
constexpr int kBackoffMaxMs = 1000;

// Sleeps ms milliseconds; the stop signal cuts it short.
void nap(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

bool stopping(const tav_thr* t) { return __atomic_load_n(&t->state, __ATOMIC_ACQUIRE) == TAV_THR_STOP; }

// Re-creates the reader's queue with its key, once a second until it works
// or a stop is requested. True when the reader has a queue again.
bool recreate(tav_thr* t) {
  for (;;) {
    int id;
    {
      std::lock_guard<std::mutex> lock(g_que_mu);
      id = rly_que_open(t->qkey, t->qtype);
    }
    RLY_LOG_T("gtuid queue key 0x%08x, %d init %s !\n", t->qkey, id, id < 0 ? "fail" : "success");
    if (id >= 0) {
      t->qid = id;
      return true;
    }
    if (stopping(t)) return false;
    nap(1000);
    if (stopping(t)) return false;
  }
}

// A queue reader: its batch, and room for a message too large to be a
// batch's.
struct Reader {
  rly_batcher b;
  char* scratch = nullptr;

  // The message at the head of the queue does not fit the room left: send
  // what the batch holds first, or, with an empty batch, take the message
  // out whatever its size. It is dropped when it is larger than the limit
  // (another reader may have taken the large one meanwhile, so a message
  // that fits is still counted).
  void oversized(int flag) {
    if (b.n > 0) {
      b.flush();
      return;
    }
    const rly_batch_plan& plan = b.plan;
    ssize_t r = msgrcv(b.t->qid, scratch, plan.limit + 1, 0, flag | MSG_NOERROR | IPC_NOWAIT);
    if (r < 0) return;
    if (static_cast<size_t>(r) > plan.limit) {
      long type;
      memcpy(&type, scratch, sizeof type);
      RLY_LOG_E("q_receive message over %zu bytes dropped. mtype(%ld) qkey(0x%08x)\n", plan.limit,
                type, b.t->qkey);
      return;
    }
    memcpy(b.end(), scratch + sizeof(long), static_cast<size_t>(r));
    b.take(static_cast<size_t>(r));
  }
};

}  // namespace

extern "C" int rly_que_create(key_t key, int flags) {
  for (;;) {
    int id = msgget(key, flags);
    if (id >= 0 || errno != EINTR) return id;
  }
}

extern "C" int rly_que_delete(int qid) {
  for (;;) {
    int rc = msgctl(qid, IPC_RMID, nullptr);
    if (rc == 0 || errno != EINTR) return rc;
  }
}

int rly_que_raise(int qid, int records, int record) {
  msqid_ds ds{};
  if (msgctl(qid, IPC_STAT, &ds) != 0) return -1;
  const unsigned long want = static_cast<unsigned long>(records) * static_cast<unsigned long>(record);
  if (ds.msg_qbytes >= want) return 0;
  const unsigned long had = ds.msg_qbytes;
  ds.msg_qbytes = want;
  if (msgctl(qid, IPC_SET, &ds) == 0) return 0;
  int e = errno;
  // Logged once per process: every queue meets the same limit.
  if (en_log && !g_raise_refused_logged.exchange(true))
    RLY_LOG_T("queue byte limit not raised to %lu (%d:%s): a queue holds %lu bytes.\n", want, e,
              strerror(e), had);
  errno = e;
  return -1;
}

int rly_que_open(key_t key, int qtype) {
  int id = rly_que_create(key, 0666 | IPC_CREAT);
  if (id < 0) return -1;
  if (qtype == 0) {
    rly_que_raise(id, en_gtuid_queue_maxmsg, RLY_GTUID_RECORD);
  } else {
    rly_que_raise(id, en_tcode_queue_maxmsg, rly_build().tcode_record);
  }
  return id;
}

extern "C" void tav_adt_stop(int) { RLY_LOG_T("adt thread stop signal receved.\n"); }

extern "C" int tav_adt_proc(tav_thr* t, char* buf, int n, int length) {
  const int max = en_master_max_cnt;
  int chosen = -1;
  for (int k = 0; k < max; ++k) {
    t->rr_index = t->rr_index + 1 >= max ? 0 : t->rr_index + 1;
    if (__atomic_load_n(&en_master_sock[t->rr_index], __ATOMIC_ACQUIRE) > 0) {
      chosen = t->rr_index;
      break;
    }
  }
  if (chosen < 0) {
    RLY_LOG_D("socket disable : max(%d) rcnt(%d)\n", max, n);
    return -1;
  }
  RLY_LOG_D("mfd(%d) fd(%d) max(%d) rcnt(%d)\n", chosen, en_master_sock[chosen], max, n);
  const size_t due = static_cast<size_t>(length) + 4;
  long w = rly_session_write(chosen, buf, due);
  if (w < 0) {
    RLY_LOG_D("master fd(%02d) not connect. rcnt(%d)\n", chosen, n);
    return -1;
  }
  if (static_cast<size_t>(w) != due)
    RLY_LOG_E("adt master send error. rcnt(%d) (%ld/%zu)\n", n, w, due);
  return static_cast<int>(w);
}

extern "C" void tav_adt_run(tav_thr* t) {
  Reader r;
  const rly_batch_plan plan =
      rly_batch_plan_for(rly_build(), t->qtype, en_gtuid_msend_count, en_tcode_msend_count);
  const bool have = r.b.open(t, plan);
  r.scratch = static_cast<char*>(malloc(sizeof(long) + plan.limit + 1));
  if (!have || !r.scratch) {
    RLY_LOG_E("malloc error (%d:%s).\n", errno, strerror(errno));
    r.b.close();
    free(r.scratch);
    return;
  }
  RLY_LOG_T("adt thread start. adt qtype(%d) qkey(0x%08x) qid(%d) max(%d:%d)\n", t->qtype, t->qkey,
            t->qid, RLY_GTUID_MAX, rly_build().tcode_max);

  rly_batcher& b = r.b;
  int flag = 0;  // blocking until a message arrives, then draining
  int backoff = 0;
  while (!stopping(t)) {
    if (b.held) {
      nap(kHoldRetryMs);
      b.flush();
      continue;
    }
    // The receive puts the 8-byte message type just before the text, over
    // the end of the previous record: saved and put back around the call.
    char* at = b.end() - sizeof(long);
    char saved[sizeof(long)];
    memcpy(saved, at, sizeof saved);
    ssize_t got = msgrcv(t->qid, at, rly_recv_room(plan, b.n), 0, flag);
    const int e = errno;
    if (got >= 0) RLY_LOG_Q(at, static_cast<int>(got), "q_receive(%d)", static_cast<int>(got));
    memcpy(at, saved, sizeof saved);
    if (got >= 0) {
      backoff = 0;
      b.take(static_cast<size_t>(got));
      flag = IPC_NOWAIT;
      continue;
    }
    RLY_LOG_D("q_receive rc(%d) (%d:%s) wflag(0x%08x)\n", static_cast<int>(got), e, strerror(e), flag);
    switch (e) {
      case E2BIG:
        r.oversized(flag);
        break;
      case EINVAL:  // the queue was removed
      case EIDRM:
        if (!recreate(t)) break;
        b.flush();
        flag = 0;
        break;
      case ENOMSG:  // drained
      case EINTR:   // the stop signal, or another
        b.flush();
        flag = 0;
        break;
      default:
        // A lasting error (permissions, ...): wait longer each time, and
        // still see a stop request.
        b.flush();
        flag = 0;
        backoff = backoff ? std::min(backoff * 2, kBackoffMaxMs) : kBackoffFirstMs;
        RLY_LOG_E("q_receive error (%d:%s) qkey(0x%08x), retry in %d ms.\n", e, strerror(e), t->qkey,
                  backoff);
        nap(backoff);
        break;
    }
  }
  b.flush();
  b.close();
  free(r.scratch);
  RLY_LOG_T("adt thread stop.\n");
}
