#include "core/tav_adt_send.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

#include "base/tav_errno.h"
#include "base/tav_globals.h"
#include "base/tav_log.h"
#include "base/tav_master_proto.h"
#include "base/tav_util.h"
#include "core/tav_adt_link.h"
#include "core/tav_glist.h"
#include "core/tav_tables.h"

extern "C" {
int en_gsend_stat;
int en_wsend_stat;
pthread_t en_gsend_tid;
pthread_t en_wsend_tid;
tavlist_t* en_wlist;
}

namespace tav::adt {

// Every batch fits its buffer when full.
static_assert(kGtuidBatch.buffer >= master::kBatchRecordsAt + 288 * 3640);
static_assert(kTcodeBatch.buffer >= master::kBatchRecordsAt + 104 * 5040);
static_assert(kTcode4Batch.buffer >= master::kBatchRecordsAt + 168 * 3120);

// A batch buffer: the header is written once, then per send only the length
// field and the record count change.
struct GtuidSender::Batch {
  const BatchKind& kind;
  char* buf;
  int n = 0;

  explicit Batch(const BatchKind& k) : kind(k), buf(static_cast<char*>(calloc(1, k.buffer))) {
    if (!buf) return;
    _tavMasterhdr h;
    master::fill_header(h, '0', kind.code);
    memcpy(buf + master::kLenField, &h, sizeof h);
  }
  ~Batch() { free(buf); }

  bool full() const { return n >= kind.max; }
  void add(const void* rec) {
    memcpy(buf + master::kBatchRecordsAt + kind.record * static_cast<size_t>(n), rec, kind.record);
    ++n;
  }
  // Writes the batch. 0: sent; -1: link not usable, the records stay;
  // -2: the write fell short and the records are lost with the link.
  int send() {
    const uint32_t pksz = master::batch_length(kind.record, static_cast<size_t>(n));
    be32 len, count;
    len = pksz;
    count = static_cast<uint32_t>(n);
    memcpy(buf, &len, sizeof len);
    memcpy(buf + master::kBatchCountAt, &count, sizeof count);
    const int rc = link_write(kGtuidLink, buf, pksz + master::kLenField);
    if (rc == -1) {
      TAV_LOG_D("A", "master(gsend) socket close ! cnt(%d)\n", n);
      return -1;
    }
    if (rc == -2) TAV_LOG_T("A", "gsend adt send(%.10s) error ! cnt(%d) lost\n", kind.code, n);
    n = 0;
    return rc;
  }
};

GtuidSender::GtuidSender()
    : batches_{new (std::nothrow) Batch(kTcodeBatch), new (std::nothrow) Batch(kTcode4Batch),
               new (std::nothrow) Batch(kGtuidBatch)} {}

GtuidSender::~GtuidSender() {
  for (Batch* b : batches_) delete b;
}

bool GtuidSender::ready() const {
  for (const Batch* b : batches_)
    if (!b || !b->buf) return false;
  return true;
}

GtuidSender::Batch* GtuidSender::batch_for(const tavlist& node) {
  if (!node.data) return nullptr;
  for (Batch* b : batches_)
    if (node.type == b->kind.item && static_cast<size_t>(node.size) == b->kind.record) return b;
  return nullptr;
}

int GtuidSender::flush_all(bool* stop) {
  int sent = 0;
  for (Batch* b : batches_) {
    if (b->n == 0) continue;
    if (b->send() != 0) {
      *stop = true;
      break;
    }
    ++sent;
  }
  return sent;
}

int GtuidSender::pass() {
  if (!ready() || !link_usable(kGtuidLink)) return 0;
  int sent = 0;
  bool stop = false;
  const int last = tav_mth_idx < en_thread_max ? tav_mth_idx : en_thread_max - 1;
  for (int i = 0; i <= last && !stop; ++i) {
    tavlist_t* list = __atomic_load_n(&en_mthr[i].glist, __ATOMIC_ACQUIRE);
    if (!list || __atomic_load_n(&list->count, __ATOMIC_RELAXED) == 0) continue;
    TAV_LOG_D("A", "gsend (%d) cnt(%d)\n", i, list->count);
    while (tavlist* node = glist_take(list)) {
      Batch* b = batch_for(*node);
      if (!b) {
        // Records of 296 bytes (transaction code with URL) have no batch in
        // the master protocol.
        TAV_LOG_T("A", "gsend adt record(%c:%d) dropped: no batch for it.\n", node->type,
                  node->size);
        tav_list_free(node);
        continue;
      }
      if (b->full()) {
        const int rc = b->send();
        if (rc == 0) ++sent;
        if (rc != 0) {
          glist_return(list, node);
          stop = true;
          break;
        }
      }
      b->add(node->data);
      tav_list_free(node);
    }
    if (!stop) sent += flush_all(&stop);
  }
  return sent;
}

int wsend_pass() {
  tavlist_t* list = __atomic_load_n(&en_wlist, __ATOMIC_ACQUIRE);
  if (!list || !link_usable(kWasLink)) return 0;
  int sent = 0;
  while (tavlist* node = tav_list_get(list)) {
    const int rc = link_write(kWasLink, node->data, static_cast<size_t>(node->size));
    if (rc == -1) {
      TAV_LOG_D("A", "master(wsend) socket close ! size(%d)\n", node->size);
      tav_list_put(list, node, 0);  // waits for the link
      break;
    }
    if (rc == 0) ++sent;
    else TAV_LOG_T("A", "wsend adt send error ! size(%d) lost\n", node->size);
    tav_list_free(node);
  }
  return sent;
}

namespace {

// The tables exist once start-up has run in some thread of the process.
bool tables_ready() {
  return __atomic_load_n(&en_handle, __ATOMIC_ACQUIRE) != 0 &&
         __atomic_load_n(&en_mthr, __ATOMIC_ACQUIRE) != nullptr;
}

// Waits up to a second for the master on the link and answers it; pauses a
// second when the link is not usable or sent nothing usable.
void serve(Link link) {
  if (link_serve(link, 1000) < 0) tav::sleep_ms(1000);
}

void* gsend_main(void*) {
  // Nothing is allocated before the host's first call has run start-up.
  while (!tables_ready()) {
    if (__atomic_load_n(&en_gsend_stat, __ATOMIC_RELAXED) != 0) return nullptr;
    tav::sleep_ms(1000);
  }
  GtuidSender sender;
  if (!sender.ready()) {
    TAV_LOG_T("A", "gsend adt malloc(gdata) error (%d:%s) !\n", errno, strerror(errno));
    return nullptr;
  }
  TAV_LOG_T("A", "gsend adt start !\n");
  while (__atomic_load_n(&en_gsend_stat, __ATOMIC_RELAXED) == 0) {
    if (!en_mzp_qsend) sender.pass();
    serve(kGtuidLink);
  }
  TAV_LOG_T("A", "gsend adt stop !\n");
  return nullptr;
}

void* wsend_main(void*) {
  TAV_LOG_T("A", "wsend adt start !\n");
  while (__atomic_load_n(&en_wsend_stat, __ATOMIC_RELAXED) == 0) {
    wsend_pass();
    serve(kWasLink);
  }
  TAV_LOG_T("A", "wsend adt stop !\n");
  return nullptr;
}

// The senders take no asynchronous signal: those belong to the host's own
// threads. Faults stay deliverable, so a fault is never turned into a hang.
int start_thread(pthread_t* tid, void* (*body)(void*), const char* name) {
  sigset_t all, old;
  sigfillset(&all);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, s);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t t{};
  const int rc = pthread_create(&t, nullptr, body, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc == 0) {
    pthread_setname_np(t, name);  // shown in the host's thread lists
    pthread_detach(t);
    *tid = t;
  }
  return rc;
}

}  // namespace

int start_senders() {
  static pthread_mutex_t once = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_lock(&once);
  int result = 0;
  if (!en_gsend_tid) {
    if (const int rc = start_thread(&en_gsend_tid, gsend_main, "qel-gsend")) {
      TAV_LOG_E("J", "pthread_create(gsend) error ! (%d:%s)\n", rc, strerror(rc));
      result = -1;
    }
  }
  if (result == 0 && !en_wsend_tid) {
    if (const int rc = start_thread(&en_wsend_tid, wsend_main, "qel-wsend")) {
      TAV_LOG_E("J", "pthread_create(wsend) error ! (%d:%s)\n", rc, strerror(rc));
      result = -1;
    }
  }
  pthread_mutex_unlock(&once);
  return result;
}

}  // namespace tav::adt
