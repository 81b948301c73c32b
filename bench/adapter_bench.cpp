// What a record costs on its way out of a Java server: in adapter mode the
// producing thread appends it to its list and the sender thread batches it
// onto the master link; in queue mode the thread sends it onto a System V
// queue and the relay receives it. Each pair is measured side by side with
// the same work done without the library's code: a plain malloc/copy/free
// for the list, and writing a prepared batch for the sender.
//
//   build/bench/bench_adapter [--benchmark_repetitions=5 ...]
#include <benchmark/benchmark.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "base/tav_globals.h"
#include "base/tav_list.h"
#include "base/tav_util.h"
#include "core/tav_adt_link.h"
#include "core/tav_adt_send.h"
#include "core/tav_glist.h"
#include "core/tav_tables.h"

namespace {

constexpr size_t kRecord = 288;

// Producer side, adapter mode: append to the thread's list, and the
// sender's take and free.
void BM_ListRecord(benchmark::State& state) {
  mthr m{};
  m.glist = tav_list_create();
  const std::vector<char> rec(kRecord, 'r');
  for (auto _ : state) {
    tav::glist_append(&m, 'G', rec.data(), rec.size());
    tav_list_free(tav::glist_take(m.glist));
  }
  tav_list_destroy(m.glist);
  state.SetItemsProcessed(state.iterations());
}

// The same bytes copied into and out of a heap block, without a list.
void BM_ListRecordBaseline(benchmark::State& state) {
  const std::vector<char> rec(kRecord, 'r');
  char out[kRecord];
  for (auto _ : state) {
    void* p = malloc(kRecord);
    memcpy(p, rec.data(), kRecord);
    benchmark::DoNotOptimize(p);
    memcpy(out, p, kRecord);
    free(p);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// Producer side, queue mode: one message onto a queue and off it again.
void BM_QueueRecord(benchmark::State& state) {
  const int q = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
  if (q < 0) {
    state.SkipWithError("no queue");
    return;
  }
  struct {
    long type;
    char text[kRecord];
  } msg{1, {}};
  for (auto _ : state) {
    msgsnd(q, &msg, kRecord, 0);
    msgrcv(q, &msg, kRecord, 0, 0);
  }
  msgctl(q, IPC_RMID, nullptr);
  state.SetItemsProcessed(state.iterations());
}

// A master that counts what reaches it.
struct Drain {
  int fds[2] = {-1, -1};
  std::atomic<bool> stop{false};
  std::atomic<size_t> bytes{0};
  std::thread reader;
  Drain() {
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    reader = std::thread([this] {
      std::vector<char> buf(1 << 20);
      while (!stop) {
        const ssize_t n = recv(fds[1], buf.data(), buf.size(), 0);
        if (n <= 0) break;
        bytes += static_cast<size_t>(n);
      }
    });
  }
  ~Drain() {
    stop = true;
    shutdown(fds[0], SHUT_RDWR);
    reader.join();
    close(fds[0]);
    close(fds[1]);
  }
};

// Sender side: one full batch of type-1 records taken from a thread's list
// and written on the link.
void BM_SenderBatch(benchmark::State& state) {
  Drain master;
  tav::adt::link_register(tav::adt::kGtuidLink, master.fds[0]);
  tav::adt::master_connected(1);
  std::vector<mthr> table(2, mthr{});
  table[0].glist = tav_list_create();
  en_mthr = table.data();
  en_thread_max = 1;
  tav_mth_idx = 0;
  tav::adt::GtuidSender sender;
  const int n = tav::adt::kGtuidBatch.max;
  const std::vector<char> rec(kRecord, 'r');
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < n; ++i) tav::glist_append(&table[0], 'G', rec.data(), rec.size());
    state.ResumeTiming();
    sender.pass();
  }
  tav::adt::master_closed(1);
  tav_list_destroy(table[0].glist);
  en_mthr = nullptr;
  state.SetItemsProcessed(state.iterations() * n);
}

// The same batch, prepared once, written on the link.
void BM_SenderBatchBaseline(benchmark::State& state) {
  Drain master;
  const int n = tav::adt::kGtuidBatch.max;
  const std::vector<char> batch(40 + kRecord * static_cast<size_t>(n), 'b');
  for (auto _ : state) tav::send_all(master.fds[0], batch.data(), batch.size(), 5000);
  state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(BM_ListRecord);
BENCHMARK(BM_ListRecordBaseline);
BENCHMARK(BM_QueueRecord);
BENCHMARK(BM_SenderBatch)->UseRealTime();
BENCHMARK(BM_SenderBatchBaseline)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
