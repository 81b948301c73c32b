// Records per second that go from a gtuid queue to a master through relayd,
// against a plain loop that only drains the same queue with msgrcv. In every
// role one thread of this program produces type-1 records onto the queue
// with blocking sends (nothing is lost, the producer waits while the queue is
// full) and another part takes them off at the far end, so that both cases
// are timed the same way: from the first record sent to the last record
// received. bench/run_relay_bench.sh runs the roles side by side.
//
//   bench_relay producer <key> <count>
//       only sends: count records, then prints the send rate
//   bench_relay drain <key> <count>
//       the plain case: producer thread + a msgrcv loop in this process
//   bench_relay relay <key> <count> <port-file>
//       the relay case with a counting master in this process: listens on
//       127.0.0.1, writes the port to port-file, accepts one relay session,
//       answers its opening and polls, and counts the records of its batches
//   bench_relay relay-file <key> <count> <jsonl-file>
//       the relay case with tavmaster: counts the JSON lines that tavmaster
//       appends to jsonl-file
//   bench_relay relay-ring <key> <count> <port-file>
//       as relay, but the producer writes into the ring that relayd made
//       with the key (waiting while it is full, so nothing is lost)
//   bench_relay sink <port-file>
//       a master that counts the type-1 records of the batches it gets until
//       SIGTERM and then prints "records N" (for the server benchmarks)
//
// Records carry their sequence number in the gtuid, so the receiving side
// checks completeness and order (and, where it gets the raw bytes, every
// byte). Before the timed records the producer sends warm-up records, one
// at a time, until the receiving side has seen one: relayd drops the batches
// it reads before its master session is accepted, and the first session
// takes a moment to open. Warm-up records are not counted.
//
// The result is one line of name=value pairs starting with "result"; the
// exit status is 0 only when every record arrived once, in order and intact.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/tav_master_proto.h"
#include "base/tav_mzp.h"
#include "base/tav_ring.h"

namespace {

namespace tm = tav::master;
using Clock = std::chrono::steady_clock;

constexpr size_t kText = sizeof(mzp1_t) - sizeof(long);  // what msgsnd/msgrcv move
static_assert(kText == 288);

// The gtuid of a record: a tag and a 17-digit number, 22 characters and NUL.
constexpr char kBenchTag[] = "BENCH";
constexpr char kWarmTag[] = "WARMU";
constexpr size_t kTagLen = 5;
constexpr size_t kSeqDigits = 17;
static_assert(kTagLen + kSeqDigits + 1 == sizeof(mzp1_t::gtuid));

// How long the receiving side waits without progress before it gives up.
constexpr auto kIdleLimit = std::chrono::seconds(15);
constexpr auto kWarmUpLimit = std::chrono::seconds(30);
constexpr auto kWarmUpRetry = std::chrono::milliseconds(100);

void put_digits(char* at, size_t n, uint64_t v) {
  for (size_t i = n; i-- > 0; v /= 10) at[i] = static_cast<char>('0' + v % 10);
}

void put_text(char* field, size_t size, const char* text) { snprintf(field, size, "%s", text); }

// Every record has the same fixed fields; only the sequence-dependent ones
// change, so that producing a record costs little next to sending it.
class RecordMaker {
 public:
  explicit RecordMaker(long type) {
    memset(&r_, 0, sizeof r_);
    r_.type = type;
    put_text(r_.nid, sizeof r_.nid, "001");
    put_digits(r_.pid, sizeof r_.pid - 1, static_cast<uint64_t>(type) % 100000000);
    put_text(r_.tid, sizeof r_.tid, "00000001");
    put_text(r_.dtime, sizeof r_.dtime, "20260101120000000000");
    put_text(r_.start, sizeof r_.start, "S");
    put_text(r_.send, sizeof r_.send, "1");
    put_text(r_.trcode, sizeof r_.trcode, "BENCH_TRCODE");
    put_text(r_.dmname, sizeof r_.dmname, "benchdomain");
    put_text(r_.ndname, sizeof r_.ndname, "benchnode");
    put_text(r_.srname, sizeof r_.srname, "benchserver");
    put_text(r_.svname, sizeof r_.svname, "benchservice");
    put_text(r_.scode, sizeof r_.scode, "1");
    put_text(r_.pcode, sizeof r_.pcode, "01");
    put_text(r_.iotype, sizeof r_.iotype, "1");
    put_text(r_.ipaddr, sizeof r_.ipaddr, "127.0.0.1");
    memcpy(r_.gtuid, kBenchTag, kTagLen);
  }

  const mzp1_t& make(uint64_t seq, bool warm = false) {
    memcpy(r_.gtuid, warm ? kWarmTag : kBenchTag, kTagLen);
    put_digits(r_.gtuid + kTagLen, kSeqDigits, seq);
    put_digits(r_.seq, sizeof r_.seq - 1, seq % 100000);
    r_.port = static_cast<uint32_t>(seq % 65536);
    r_.iosize = static_cast<uint32_t>(seq * 7);
    r_.etime = static_cast<uint32_t>(seq >> 32);
    r_.rtime = static_cast<uint32_t>(seq);
    for (size_t i = 0; i < sizeof r_.pattern; ++i)
      r_.pattern[i] = static_cast<uint8_t>(seq >> (8 * i));
    return r_;
  }

  // The 288 text bytes of the record with this sequence number.
  const char* text(uint64_t seq) {
    return reinterpret_cast<const char*>(&make(seq)) + sizeof(long);
  }

 private:
  mzp1_t r_;
};

enum class Kind { kBench, kWarm, kForeign };

// What a gtuid (the first 23 bytes of a record's text) says.
Kind classify(const char* gtuid, uint64_t* seq) {
  const bool bench = memcmp(gtuid, kBenchTag, kTagLen) == 0;
  if (!bench && memcmp(gtuid, kWarmTag, kTagLen) != 0) return Kind::kForeign;
  uint64_t v = 0;
  for (size_t i = kTagLen; i < kTagLen + kSeqDigits; ++i) {
    if (gtuid[i] < '0' || gtuid[i] > '9') return Kind::kForeign;
    v = v * 10 + static_cast<uint64_t>(gtuid[i] - '0');
  }
  *seq = v;
  return bench ? Kind::kBench : Kind::kWarm;
}

// Completeness and order of what arrived.
class Tally {
 public:
  explicit Tally(uint64_t count) : count_(count), seen_(count, false) {}

  void take(uint64_t seq) {
    if (seq >= count_) {
      ++foreign_;
      return;
    }
    if (seen_[seq]) {
      ++duplicates_;
    } else {
      seen_[seq] = true;
      ++received_;
    }
    if (seq != next_) ++out_of_order_;
    next_ = seq + 1;
  }
  void foreign() { ++foreign_; }
  void corrupt() { ++corrupt_; }

  bool complete() const { return received_ == count_; }
  bool clean() const {
    return complete() && duplicates_ == 0 && out_of_order_ == 0 && corrupt_ == 0 && foreign_ == 0;
  }
  uint64_t received() const { return received_; }

  std::string summary() const {
    char s[256];
    snprintf(s, sizeof s,
             "received=%" PRIu64 " missing=%" PRIu64 " duplicates=%" PRIu64 " out_of_order=%" PRIu64
             " corrupt=%" PRIu64 " foreign=%" PRIu64,
             received_, count_ - received_, duplicates_, out_of_order_, corrupt_, foreign_);
    return s;
  }

 private:
  uint64_t count_;
  std::vector<bool> seen_;
  uint64_t next_ = 0;
  uint64_t received_ = 0, duplicates_ = 0, out_of_order_ = 0, corrupt_ = 0, foreign_ = 0;
};

// CPU time of the calling thread, in seconds.
double thread_cpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Sends warm-up records until told that one arrived, then the timed records.
// The sends block while the queue is full; join() interrupts a send that
// would wait for ever (the far end gave up) with a signal.
class Producer {
 public:
  // With `ring`, records go into it instead of onto the queue.
  Producer(int qid, uint64_t count, const tav::ring::View* ring = nullptr) : qid_(qid), count_(count), ring_(ring) {}
  ~Producer() { join(); }

  void start(bool warm_up) {
    if (!warm_up) warm_seen_ = true;
    thread_ = std::thread([this] {
      run();
      done_ = true;
    });
  }
  // Waits for the thread; a send still waiting is cut short.
  void join() {
    if (!thread_.joinable()) return;
    quit_ = true;
    while (!done_) {
      pthread_kill(thread_.native_handle(), kWakeSignal);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread_.join();
  }
  // Waits until every record was sent (or the sends failed).
  void finish() {
    while (!done_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    join();
  }
  // The receiving side saw a warm-up record.
  void warm_seen() { warm_seen_ = true; }
  // True once the timed records have started (t0 is then valid).
  bool started() const { return started_.load(std::memory_order_acquire); }
  Clock::time_point t0() const { return t0_; }
  double send_seconds() const { return send_seconds_; }
  // CPU time of the thread while it sent the timed records.
  double cpu_seconds() const { return cpu_seconds_; }
  bool failed() const { return failed_; }

  // A handler that does nothing, installed without SA_RESTART, so that the
  // signal ends a waiting msgsnd with EINTR.
  static void install_wake() {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sigaction(kWakeSignal, &sa, nullptr);
  }

 private:
  static constexpr int kWakeSignal = SIGUSR2;

  bool send(const mzp1_t& r) {
    if (ring_) return put(r);
    for (;;) {
      if (msgsnd(qid_, &r, kText, 0) == 0) return true;
      if (errno == EINTR && !quit_) continue;
      if (errno != EINTR) {
        fprintf(stderr, "bench_relay: msgsnd: %s\n", strerror(errno));
        failed_ = true;
      }
      return false;
    }
  }

  // Into the ring, waiting while it is full (each wait counts in its header
  // as a drop, though the record is then written).
  bool put(const mzp1_t& r) {
    for (;;) {
      switch (tav::ring::put(*ring_, 1, reinterpret_cast<const char*>(&r) + sizeof(long), kText)) {
        case tav::ring::Put::kDone:
          return true;
        case tav::ring::Put::kTooLarge:
          failed_ = true;
          return false;
        default:
          if (quit_) return false;
          std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
    }
  }

  void run() {
    RecordMaker maker(static_cast<long>(getpid()));
    for (uint64_t n = 0; !warm_seen_; ++n) {
      if (quit_ || !send(maker.make(n, true))) return;
      const auto until = Clock::now() + kWarmUpRetry;
      while (!warm_seen_ && !quit_ && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double cpu0 = thread_cpu();
    t0_ = Clock::now();
    started_.store(true, std::memory_order_release);
    for (uint64_t seq = 0; seq < count_; ++seq)
      if (quit_ || !send(maker.make(seq))) return;
    send_seconds_ = std::chrono::duration<double>(Clock::now() - t0_).count();
    cpu_seconds_ = thread_cpu() - cpu0;
  }

  int qid_;
  uint64_t count_;
  const tav::ring::View* ring_;
  std::thread thread_;
  std::atomic<bool> warm_seen_{false}, quit_{false}, started_{false}, done_{false};
  Clock::time_point t0_;
  std::atomic<double> send_seconds_{0}, cpu_seconds_{0};
  std::atomic<bool> failed_{false};
};

int open_queue(const char* key_text) {
  char* end = nullptr;
  const unsigned long key = strtoul(key_text, &end, 0);
  if (!*key_text || *end || key == 0 || key > 0xffffffffUL) {
    fprintf(stderr, "bench_relay: bad queue key %s\n", key_text);
    return -1;
  }
  const int id = msgget(static_cast<key_t>(key), 0666 | IPC_CREAT);
  if (id < 0) fprintf(stderr, "bench_relay: msgget %s: %s\n", key_text, strerror(errno));
  return id;
}

bool parse_count(const char* text, uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(text, &end, 10);
  if (!*text || *end || errno || v == 0 || v > 100000000ULL) {
    fprintf(stderr, "bench_relay: count must be 1 to 100000000, not %s\n", text);
    return false;
  }
  *out = v;
  return true;
}

std::string cpu_field(double since) {
  char s[64];
  snprintf(s, sizeof s, "consumer_cpu_s=%.6f", thread_cpu() - since);
  return s;
}

// Prints the result line; the status says whether the run was clean.
int report(const char* mode, uint64_t count, const Producer& p, Clock::time_point t1,
           const Tally& t, const std::string& extra) {
  const double secs = p.started() ? std::chrono::duration<double>(t1 - p.t0()).count() : 0;
  printf("result mode=%s records=%" PRIu64
         " seconds=%.6f records_per_s=%.0f send_seconds=%.6f"
         " producer_cpu_s=%.6f %s%s%s\n",
         mode, count, secs, secs > 0 ? static_cast<double>(t.received()) / secs : 0.0,
         p.send_seconds(), p.cpu_seconds(), t.summary().c_str(), extra.empty() ? "" : " ",
         extra.c_str());
  fflush(stdout);
  return t.clean() && !p.failed() ? 0 : 1;
}

// ---- producer only ---------------------------------------------------------

int run_producer(int qid, uint64_t count) {
  Producer p(qid, count);
  p.start(false);
  p.finish();
  if (p.failed()) return 1;
  printf("sent records=%" PRIu64 " seconds=%.6f records_per_s=%.0f\n", count, p.send_seconds(),
         static_cast<double>(count) / p.send_seconds());
  return 0;
}

// ---- plain drain -------------------------------------------------------------

int run_drain(int qid, uint64_t count) {
  Producer p(qid, count);
  Tally tally(count);
  RecordMaker expect(static_cast<long>(getpid()));
  struct {
    long type;
    char text[kText];
  } msg;
  const double cpu0 = thread_cpu();
  p.start(true);
  Clock::time_point t1;
  while (!tally.complete()) {
    const ssize_t got = msgrcv(qid, &msg, kText, 0, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "bench_relay: msgrcv: %s\n", strerror(errno));
      break;
    }
    uint64_t seq = 0;
    switch (static_cast<size_t>(got) == kText ? classify(msg.text, &seq) : Kind::kForeign) {
      case Kind::kWarm:
        p.warm_seen();
        break;
      case Kind::kBench:
        if (memcmp(msg.text, expect.text(seq), kText) != 0) tally.corrupt();
        tally.take(seq);
        break;
      case Kind::kForeign:
        tally.foreign();
        break;
    }
    t1 = Clock::now();
  }
  const std::string cpu = cpu_field(cpu0);
  if (tally.complete())
    p.finish();
  else
    p.join();
  return report("drain", count, p, t1, tally, cpu);
}

// ---- counting master -------------------------------------------------------

// Largest length field accepted: a relay batch holds at most 1820 type-1
// records (about 512 KiB); anything above 1 MiB is a broken stream.
constexpr uint32_t kMaxMessage = 1 << 20;

bool send_whole(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (n > 0) {
    const ssize_t w = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Clock::now() < deadline) {
      pollfd pf{fd, POLLOUT, 0};
      poll(&pf, 1, 100);
      continue;
    }
    return false;
  }
  return true;
}

// A header-only reply: the length field and the header.
bool send_header(int fd, const _tavMasterhdr& h) {
  unsigned char m[tm::kLenField + tm::kHeader];
  reinterpret_cast<_tavMasterbuf*>(m)->pksz = static_cast<uint32_t>(tm::kHeader);
  memcpy(m + tm::kLenField, &h, sizeof h);
  return send_whole(fd, m, sizeof m);
}

int listen_loopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    fprintf(stderr, "bench_relay: listen: %s\n", strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// Writes text to path through a temporary name, so that a reader never sees
// half of it.
bool write_file(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return false;
  bool ok = fputs(text.c_str(), f) >= 0;
  ok = fclose(f) == 0 && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

// One relay session: cuts the stream into messages and acts on each.
class CountingMaster {
 public:
  CountingMaster(int fd, Producer& p, Tally& t)
      : fd_(fd), p_(p), t_(t), buf_(kMaxMessage + tm::kLenField) {}

  // Serves until every timed record arrived, or the stream fails or stalls.
  // Returns the time the last record arrived.
  Clock::time_point serve(bool* ok) {
    Clock::time_point t1 = Clock::now();
    auto last_progress = Clock::now();
    *ok = false;
    while (!t_.complete()) {
      const auto now = Clock::now();
      const auto limit = p_.started() ? kIdleLimit : kWarmUpLimit;
      if (now - last_progress > limit) {
        fprintf(stderr, "bench_relay: no record for %lld s\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
        return t1;
      }
      pollfd pf{fd_, POLLIN, 0};
      if (poll(&pf, 1, 200) < 0 && errno != EINTR) return t1;
      if (!(pf.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = recv(fd_, buf_.data() + have_, buf_.size() - have_, MSG_DONTWAIT);
      if (n == 0) {
        fprintf(stderr, "bench_relay: the relay closed the session\n");
        return t1;
      }
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        fprintf(stderr, "bench_relay: recv: %s\n", strerror(errno));
        return t1;
      }
      have_ += static_cast<size_t>(n);
      const uint64_t before = t_.received();
      if (!consume()) return t1;
      if (t_.received() != before) {
        t1 = Clock::now();
        last_progress = t1;
      }
    }
    *ok = true;
    return t1;
  }

  uint64_t batches() const { return batches_; }
  uint64_t largest_batch() const { return largest_; }

 private:
  // Handles every whole message in the buffer and keeps the rest in front.
  bool consume() {
    size_t at = 0;
    while (have_ - at >= tm::kLenField) {
      const uint32_t len = reinterpret_cast<const _tavMasterbuf*>(buf_.data() + at)->pksz;
      if (len < tm::kHeader || len > kMaxMessage) {
        fprintf(stderr, "bench_relay: length field %u out of bounds\n", len);
        return false;
      }
      if (have_ - at < tm::kLenField + len) break;
      if (!message(buf_.data() + at, tm::kLenField + len)) return false;
      at += tm::kLenField + len;
    }
    if (at > 0) {
      memmove(buf_.data(), buf_.data() + at, have_ - at);
      have_ -= at;
    }
    return true;
  }

  bool message(const unsigned char* m, size_t size) {
    _tavMasterhdr h;
    memcpy(&h, m + tm::kLenField, sizeof h);
    if (tm::is_code(h, tm::kOpen) && h.mtype[0] == '0') {
      tm::fill_header(h, '1', tm::kOpen);
      return send_header(fd_, h);
    }
    if (tm::is_code(h, tm::kPoll) && h.mtype[0] == '0') {
      h.mtype[0] = '1';
      memcpy(h.ercode, tm::kOk, sizeof h.ercode);
      return send_header(fd_, h);
    }
    if (!tm::is_code(h, tm::kGtuidBatch)) {
      fprintf(stderr, "bench_relay: unexpected message \"%.10s\" of %zu bytes\n", h.trcode, size);
      return false;
    }
    if (size < tm::kBatchRecordsAt) {
      fprintf(stderr, "bench_relay: batch of %zu bytes without a record count\n", size);
      return false;
    }
    const uint32_t n = reinterpret_cast<const tav::be32*>(m + tm::kBatchCountAt)->get();
    if (tm::batch_length(kText, n) + tm::kLenField != size) {
      fprintf(stderr, "bench_relay: batch of %zu bytes announces %u records\n", size, n);
      return false;
    }
    ++batches_;
    if (n > largest_) largest_ = n;
    for (uint32_t i = 0; i < n; ++i) {
      const char* text = reinterpret_cast<const char*>(m + tm::kBatchRecordsAt + kText * i);
      uint64_t seq = 0;
      switch (classify(text, &seq)) {
        case Kind::kWarm:
          p_.warm_seen();
          break;
        case Kind::kBench:
          if (memcmp(text, expect_.text(seq), kText) != 0) t_.corrupt();
          t_.take(seq);
          break;
        case Kind::kForeign:
          t_.foreign();
          break;
      }
    }
    return true;
  }

  int fd_;
  Producer& p_;
  Tally& t_;
  RecordMaker expect_{static_cast<long>(getpid())};
  std::vector<unsigned char> buf_;
  size_t have_ = 0;
  uint64_t batches_ = 0, largest_ = 0;
};

// The ring relayd made with `key`, once it is there (at most 30 s).
bool wait_ring(key_t key, tav::ring::View* v) {
  for (int i = 0; i < 3000; ++i) {
    if (tav::ring::open_existing(key, true, v) == tav::ring::OpenResult::kOpened && tav::ring::live(*v)) return true;
    tav::ring::unmap(v);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  fprintf(stderr, "bench_relay: no ring with the key within 30 s\n");
  return false;
}

int run_relay(int qid, uint64_t count, const std::string& port_file, key_t ring_key = 0) {
  int port = 0;
  const int lfd = listen_loopback(&port);
  if (lfd < 0) return 1;
  if (!write_file(port_file, std::to_string(port) + "\n")) {
    fprintf(stderr, "bench_relay: cannot write %s\n", port_file.c_str());
    close(lfd);
    return 1;
  }
  pollfd pf{lfd, POLLIN, 0};
  if (poll(&pf, 1, 30000) <= 0) {
    fprintf(stderr, "bench_relay: no relay session within 30 s\n");
    close(lfd);
    return 1;
  }
  const int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
  close(lfd);
  if (fd < 0) {
    fprintf(stderr, "bench_relay: accept: %s\n", strerror(errno));
    return 1;
  }
  tav::ring::View ring;
  if (ring_key && !wait_ring(ring_key, &ring)) {
    close(fd);
    return 1;
  }
  Producer p(qid, count, ring_key ? &ring : nullptr);
  Tally tally(count);
  CountingMaster master(fd, p, tally);
  const double cpu0 = thread_cpu();
  p.start(true);
  bool ok = false;
  const Clock::time_point t1 = master.serve(&ok);
  const std::string cpu = cpu_field(cpu0);
  if (ok)
    p.finish();
  else
    p.join();
  close(fd);
  const std::string extra = "batches=" + std::to_string(master.batches()) +
                            " largest_batch=" + std::to_string(master.largest_batch()) + " " + cpu;
  const int rc = report(ring_key ? "relay-ring" : "relay", count, p, t1, tally, extra);
  tav::ring::unmap(&ring);
  return ok ? rc : 1;
}

// ---- a counting sink for the server benchmarks -------------------------------

volatile sig_atomic_t g_stop = 0;

// Accepts one relay session, answers its opening and polls, and counts the
// records of its type-1 batches until SIGTERM.
int run_sink(const std::string& port_file) {
  struct sigaction sa {};
  sa.sa_handler = [](int) { g_stop = 1; };
  sigaction(SIGTERM, &sa, nullptr);
  int port = 0;
  const int lfd = listen_loopback(&port);
  if (lfd < 0 || !write_file(port_file, std::to_string(port) + "\n")) return 1;
  int fd = -1;
  std::vector<unsigned char> buf(kMaxMessage + tm::kLenField);
  size_t have = 0;
  uint64_t records = 0;
  while (!g_stop) {
    pollfd pf{fd >= 0 ? fd : lfd, POLLIN, 0};
    if (poll(&pf, 1, 200) <= 0) continue;
    if (fd < 0) {
      fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      continue;
    }
    const ssize_t n = recv(fd, buf.data() + have, buf.size() - have, 0);
    if (n <= 0) {
      close(fd);
      fd = -1;
      have = 0;
      continue;
    }
    have += static_cast<size_t>(n);
    size_t at = 0;
    while (have - at >= tm::kLenField) {
      const uint32_t len = reinterpret_cast<const _tavMasterbuf*>(buf.data() + at)->pksz;
      if (len < tm::kHeader || len > kMaxMessage) return 1;
      if (have - at < tm::kLenField + len) break;
      _tavMasterhdr h;
      memcpy(&h, buf.data() + at + tm::kLenField, sizeof h);
      if ((tm::is_code(h, tm::kOpen) || tm::is_code(h, tm::kPoll)) && h.mtype[0] == '0') {
        h.mtype[0] = '1';
        memcpy(h.ercode, tm::kOk, sizeof h.ercode);
        send_header(fd, h);
      } else if (tm::is_code(h, tm::kGtuidBatch) && len + tm::kLenField >= tm::kBatchRecordsAt) {
        records += reinterpret_cast<const tav::be32*>(buf.data() + at + tm::kBatchCountAt)->get();
      }
      at += tm::kLenField + len;
    }
    memmove(buf.data(), buf.data() + at, have - at);
    have -= at;
  }
  printf("records %" PRIu64 "\n", records);
  return 0;
}

// ---- tavmaster's JSON lines --------------------------------------------------

// Counts the records in the JSON lines that another process appends to a
// file, by the "gtuid" of each line.
int run_relay_file(int qid, uint64_t count, const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "bench_relay: open %s: %s\n", path.c_str(), strerror(errno));
    return 1;
  }
  Producer p(qid, count);
  Tally tally(count);
  std::string pending;
  std::vector<char> chunk(1 << 20);
  constexpr std::string_view kKey = "\"gtuid\":\"";
  uint64_t lines = 0;
  const double cpu0 = thread_cpu();
  p.start(true);
  Clock::time_point t1 = Clock::now();
  auto last_progress = t1;
  bool ok = false;
  for (;;) {
    if (tally.complete()) {
      ok = true;
      break;
    }
    const ssize_t n = read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno != EINTR) {
      fprintf(stderr, "bench_relay: read %s: %s\n", path.c_str(), strerror(errno));
      break;
    }
    if (n <= 0) {
      if (Clock::now() - last_progress > (p.started() ? kIdleLimit : kWarmUpLimit)) {
        fprintf(stderr, "bench_relay: no new line in %s\n", path.c_str());
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      continue;
    }
    pending.append(chunk.data(), static_cast<size_t>(n));
    const uint64_t before = tally.received();
    size_t start = 0;
    for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
      ++lines;
      const std::string_view line(pending.data() + start, nl - start);
      const size_t at = line.find(kKey);
      uint64_t seq = 0;
      const Kind kind =
          at != std::string_view::npos && line.size() - at - kKey.size() > kTagLen + kSeqDigits
              ? classify(line.data() + at + kKey.size(), &seq)
              : Kind::kForeign;
      if (kind == Kind::kWarm) p.warm_seen();
      if (kind == Kind::kBench) tally.take(seq);
      if (kind == Kind::kForeign) tally.foreign();
    }
    pending.erase(0, start);
    if (tally.received() != before) {
      t1 = Clock::now();
      last_progress = t1;
    }
  }
  const std::string cpu = cpu_field(cpu0);
  if (ok)
    p.finish();
  else
    p.join();
  close(fd);
  const int rc =
      report("relay-file", count, p, t1, tally, "lines=" + std::to_string(lines) + " " + cpu);
  return ok ? rc : 1;
}

int usage() {
  fprintf(stderr,
          "usage: bench_relay producer <key> <count>\n"
          "       bench_relay drain <key> <count>\n"
          "       bench_relay relay <key> <count> <port-file>\n"
          "       bench_relay relay-file <key> <count> <jsonl-file>\n"
          "       bench_relay relay-ring <key> <count> <port-file>\n"
          "       bench_relay sink <port-file>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "sink") return run_sink(argv[2]);
  if (argc < 4) return usage();
  const std::string role = argv[1];
  uint64_t count = 0;
  if (!parse_count(argv[3], &count)) return 2;
  const bool needs_path = role == "relay" || role == "relay-file" || role == "relay-ring";
  if (needs_path != (argc == 5) || (!needs_path && argc != 4)) return usage();
  if (role != "producer" && role != "drain" && !needs_path) return usage();
  const int qid = open_queue(argv[2]);
  if (qid < 0) return 1;
  Producer::install_wake();
  if (role == "producer") return run_producer(qid, count);
  if (role == "drain") return run_drain(qid, count);
  if (role == "relay") return run_relay(qid, count, argv[4]);
  if (role == "relay-ring")
    return run_relay(qid, count, argv[4], static_cast<key_t>(strtoul(argv[2], nullptr, 0)));
  return run_relay_file(qid, count, argv[4]);
}
