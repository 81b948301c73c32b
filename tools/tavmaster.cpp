// tavmaster: the development master. It listens for relay sessions and the
// adapter links of the Java builds, answers their openings and polls, polls
// them itself at a chosen interval, and writes every monitoring record it
// receives as one JSON line with decoded fields.
//
//   tavmaster [--port N] [--bind ADDR] [--poll-ms N] [--refuse CODE]
//             [--out FILE] [--ready-file PATH] [--max-sessions N]
//             [--max-message N] [--verbose]
//
// Once listening it prints "tavmaster listening on ADDR:PORT" on standard
// error; sessions, openings, refusals, dropped batches and poll faults are
// logged there too. SIGINT or SIGTERM ends it with status 0.
//
// Every line starts with "session" (the master's number for the link),
// "peer" (its address and port), "batch" (the message code) and "type" (1, 2
// or 4), followed by the record's fields:
//   type 1: gtuid seq event direction dtime nid pid tid trcode domain node
//           process service scode pcode iotype ipaddr port iosize etime rtime
//           pattern filler
//   type 2: gtuid trcode seq dtime ipaddr blocking
//   type 4: as type 2, then custinfo userinfo
// Any other message (the adapter's serialised packets) gives a line with
// "session", "peer", "message" (its code), "mtype", "size" (bytes with the
// length field) and "body" (the first 4096 bytes after the header, as text).
// Texts end at their field's first NUL; port, iosize, etime, rtime and
// blocking are numbers; pattern and filler are hexadecimal bytes.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tavmaster_options.h"
#include "tavmaster_server.h"

namespace {

volatile sig_atomic_t g_stop = 0;

extern "C" void on_stop_signal(int) { g_stop = 1; }

// Writes "ADDR:PORT\n" to path through a temporary name, so that a reader
// never sees a half-written file.
bool write_ready_file(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return false;
  bool ok = fputs(text.c_str(), f) >= 0;
  ok = (fclose(f) == 0) && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  tavmaster::Options opt;
  std::string error;
  switch (tavmaster::parse_options(argc, argv, &opt, &error)) {
    case tavmaster::ParseResult::kHelp:
      fputs(tavmaster::usage(argv[0]).c_str(), stdout);
      return 0;
    case tavmaster::ParseResult::kError:
      fprintf(stderr, "tavmaster: %s\n%s", error.c_str(), tavmaster::usage(argv[0]).c_str());
      return 2;
    case tavmaster::ParseResult::kRun:
      break;
  }

  // The stop signals stay blocked except inside the main wait (and output
  // writes), where the mask below opens them; the handler only sets a flag.
  sigset_t stops, wait_mask;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  struct sigaction sa{};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  tavmaster::Server server(opt);
  if (!server.start()) return 1;
  std::string where = opt.bind + ":" + std::to_string(server.port());
  fprintf(stderr, "tavmaster listening on %s\n", where.c_str());
  if (!opt.ready_file.empty() && !write_ready_file(opt.ready_file, where + "\n")) {
    fprintf(stderr, "tavmaster: cannot write %s: %s\n", opt.ready_file.c_str(), strerror(errno));
    return 1;
  }

  int rc = server.run(g_stop, wait_mask);
  const auto& st = server.stats();
  tavmaster::log_line(
      "stopped: sessions %llu, batches %llu, records %llu, dropped batches %llu, messages %llu, "
      "polls sent %llu, answered %llu, mismatched %llu, unanswered %llu",
      static_cast<unsigned long long>(st.sessions), static_cast<unsigned long long>(st.batches),
      static_cast<unsigned long long>(st.records),
      static_cast<unsigned long long>(st.dropped_batches),
      static_cast<unsigned long long>(st.messages),
      static_cast<unsigned long long>(st.polls_sent),
      static_cast<unsigned long long>(st.polls_answered),
      static_cast<unsigned long long>(st.polls_mismatched),
      static_cast<unsigned long long>(st.polls_unanswered));
  return rc;
}
