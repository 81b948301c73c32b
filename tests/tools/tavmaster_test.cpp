// Runs the tavmaster program and speaks the master link to it over loopback,
// as a relay or an adapter link would.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/tav_mzp.h"
#include "base/tav_master_proto.h"
#include "temp_dir.h"

namespace {

namespace tm = tav::master;
using Clock = std::chrono::steady_clock;
using qel::test::TempDir;

const std::string kProg = TAVMASTER_PATH;

long long ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits up to timeout_ms for a child to end. True when it was reaped, with
// *status its exit status, or -1 when a signal ended it.
bool reap(pid_t pid, int timeout_ms, int* status) {
  auto t0 = Clock::now();
  while (ms_since(t0) < timeout_ms) {
    int st = 0;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
      *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      return true;
    }
    if (r < 0) return false;
    pause_ms(10);
  }
  return false;
}

// The master program with its own directory for the ready file, the JSON
// lines, its standard output and its standard error. Killed and reaped at the
// end of the test if it still runs.
class Master {
 public:
  explicit Master(const std::vector<std::string>& args, bool with_out = true) {
    ready_ = dir_.file("ready");
    out_ = dir_.file(with_out ? "out.json" : "stdout");
    err_ = dir_.file("stderr");
    std::vector<std::string> all = {kProg, "--port", "0", "--ready-file", ready_};
    if (with_out) all.insert(all.end(), {"--out", out_});
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string stdout_path = dir_.file("stdout");
    pid_ = fork();
    if (pid_ == 0) {
      int o = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(o, 1);
      dup2(e, 2);
      execv(kProg.c_str(), argv.data());
      _exit(127);
    }
    auto t0 = Clock::now();
    while (pid_ > 0 && ms_since(t0) < 5000) {
      std::string r = TempDir::read(ready_);
      size_t colon = r.rfind(':');
      if (!r.empty() && r.back() == '\n' && colon != std::string::npos) {
        port_ = std::stoi(r.substr(colon + 1));
        break;
      }
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      pause_ms(10);
    }
  }
  ~Master() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Master(const Master&) = delete;
  Master& operator=(const Master&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

  // Sends the signal; the exit status, or -1 when it did not exit normally
  // within 5 seconds.
  int stop(int sig = SIGTERM) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    return exit_status();
  }
  // Waits for the program to end by itself: its exit status, or -1 when it
  // did not exit normally within 5 seconds.
  int exit_status() {
    int status = -1;
    if (pid_ > 0 && reap(pid_, 5000, &status)) pid_ = -1;
    return status;
  }

  std::string err() const { return TempDir::read(err_); }

  // The complete lines written so far.
  std::vector<std::string> lines() const {
    std::string text = TempDir::read(out_);
    std::vector<std::string> out;
    size_t at = 0, nl;
    while ((nl = text.find('\n', at)) != std::string::npos) {
      out.push_back(text.substr(at, nl - at));
      at = nl + 1;
    }
    return out;
  }
  std::vector<std::string> wait_lines(size_t n) const {
    auto t0 = Clock::now();
    auto l = lines();
    while (l.size() < n && ms_since(t0) < 5000) {
      pause_ms(10);
      l = lines();
    }
    return l;
  }
  bool wait_err(const std::string& text) const {
    auto t0 = Clock::now();
    while (ms_since(t0) < 5000) {
      if (err().find(text) != std::string::npos) return true;
      pause_ms(10);
    }
    return false;
  }
  // Resident memory in KiB, from /proc.
  long rss_kib() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    while (in >> key) {
      if (key == "VmRSS:") {
        long v = -1;
        in >> v;
        return v;
      }
    }
    return -1;
  }

 private:
  TempDir dir_;
  std::string ready_, out_, err_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// One TCP connection to the master, playing a relay session or an adapter
// link. Every wait is bounded.
class Peer {
 public:
  explicit Peer(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd_);
      fd_ = -1;
    }
    int one = 1;
    if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Peer() { close_now(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool ok() const { return fd_ >= 0; }
  int local_port() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
  }
  std::string peer_text() const { return "127.0.0.1:" + std::to_string(local_port()); }

  bool send(const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }
  // Sends the bytes cut at the given offsets, pausing between the pieces so
  // that the master reads them separately.
  bool send_pieces(const std::string& bytes, const std::vector<size_t>& cuts) {
    size_t at = 0;
    for (size_t cut : cuts) {
      if (!send(bytes.substr(at, cut - at))) return false;
      at = cut;
      pause_ms(15);
    }
    return send(bytes.substr(at));
  }

  // One whole message (length field included), or "" on time-out or close.
  std::string recv_message(int timeout_ms = 3000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string len(4, '\0');
    if (!recv_exact(len.data(), 4, deadline)) return "";
    uint32_t n = (uint32_t(uint8_t(len[0])) << 24) | (uint32_t(uint8_t(len[1])) << 16) |
                 (uint32_t(uint8_t(len[2])) << 8) | uint8_t(len[3]);
    if (n > 4096) return "";
    std::string body(n, '\0');
    if (!recv_exact(body.data(), n, deadline)) return "";
    return len + body;
  }

  // True when the master closes the connection within the time.
  bool closed_by_master(int timeout_ms = 3000) {
    auto t0 = Clock::now();
    char buf[256];
    while (ms_since(t0) < timeout_ms) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    }
    return false;
  }

  // Closes with a reset instead of an orderly end.
  void reset() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close_now();
  }
  void close_now() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  bool recv_exact(char* p, size_t n, Clock::time_point deadline) {
    size_t got = 0;
    while (got < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd pfd{fd_, POLLIN, 0};
      int r = poll(&pfd, 1, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      ssize_t k = recv(fd_, p + got, n - got, 0);
      if (k <= 0) return false;
      got += static_cast<size_t>(k);
    }
    return true;
  }
  int fd_ = -1;
};

// --- messages as a relay builds them ----------------------------------------

std::string be32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string header(char mtype, const char* code, const char* ercode = "00000") {
  _tavMasterhdr h;
  tm::fill_header(h, mtype, code);
  memcpy(h.ercode, ercode, 5);
  return std::string(reinterpret_cast<const char*>(&h), sizeof h);
}

std::string framed(const std::string& body) {
  return be32(static_cast<uint32_t>(body.size())) + body;
}

// The 261-byte opening: space-filled body, texts without terminators.
std::string opening(const std::string& agent) {
  std::string m(tm::kOpenSize, ' ');
  m.replace(0, 4, be32(tm::kOpenSize - 4));
  m.replace(4, 28, header('0', tm::kOpen));
  m.replace(tm::kOpenAgentAt, agent.size(), agent);
  m[tm::kOpenAgentAt + agent.size()] = '\0';
  m.replace(tm::kOpenHostAt, 5, "host1");
  m.replace(tm::kOpenIpAt, 9, "127.0.0.1");
  m.replace(tm::kOpenCodeAt, 5, "00000");
  return m;
}

template <typename T>
std::string wire(const T& r) {
  const char* p = reinterpret_cast<const char*>(&r) + offsetof(T, gtuid);
  return std::string(p, sizeof(T) - offsetof(T, gtuid));
}

// A batch message; count is the number of records unless given.
std::string batch(const char* code, const std::vector<std::string>& records, long count = -1) {
  std::string body = header('0', code);
  body += be32(static_cast<uint32_t>(count >= 0 ? count : static_cast<long>(records.size())));
  body += std::string(4, '\0');
  for (const auto& r : records) body += r;
  return framed(body);
}

template <size_t N>
void put(char (&f)[N], const std::string& s) {
  memcpy(f, s.data(), std::min(N, s.size()));
}

// Record i of one transaction: start, call out, end.
mzp1_t gtuid_record(int i, const std::string& gtuid = "1234567890123456789012") {
  mzp1_t r{};
  r.type = 4321;
  put(r.gtuid, gtuid);
  put(r.seq, "0000" + std::to_string(i + 1));
  put(r.nid, "007");
  put(r.pid, "00004321");
  put(r.tid, "00000099");
  put(r.dtime, "2026121012000000000" + std::to_string(i));
  const char* events[] = {"SR", "CS", "ES"};
  put(r.start, std::string(1, events[i % 3][0]));
  put(r.send, std::string(1, events[i % 3][1]));
  put(r.trcode, "PAY-ORDER");
  put(r.dmname, "dom");
  put(r.ndname, "node-a");
  put(r.srname, "front");
  put(r.svname, "00004321");
  put(r.scode, "1");
  put(r.pcode, "07");
  put(r.iotype, "S");
  put(r.ipaddr, "127.0.0.2");
  r.port = static_cast<uint32_t>(8000 + i);
  r.iosize = 512;
  r.etime = static_cast<uint32_t>(1000 * i);
  r.rtime = static_cast<uint32_t>(10 * i);
  const uint8_t pattern[] = {1, 2, 3, 0xab};
  memcpy(r.pattern, pattern, 4);
  return r;
}

std::string one_record_batch(const std::string& gtuid = "1234567890123456789012") {
  return batch(tm::kGtuidBatch, {wire(gtuid_record(0, gtuid))});
}

// --- opening ------------------------------------------------------------------

TEST(Tavmaster, OpeningIsAnsweredWithTheConfiguredCode) {
  struct Case {
    std::vector<std::string> args;
    const char* ercode;
  } cases[] = {{{}, "00000"}, {{"--refuse", "00001"}, "00001"}, {{"--refuse", "E1234"}, "E1234"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ercode);
    Master m(c.args);
    ASSERT_GT(m.port(), 0);
    Peer p(m.port());
    ASSERT_TRUE(p.ok());
    ASSERT_TRUE(p.send(opening("relay_1")));
    std::string reply = p.recv_message();
    ASSERT_EQ(reply.size(), 32u);
    EXPECT_EQ(reply.substr(0, 4), be32(28));
    EXPECT_EQ(reply.substr(4, 4), "$TAV");
    EXPECT_EQ(reply[8], '1');
    EXPECT_EQ(reply.substr(9, 10), "SSSC000000");
    EXPECT_EQ(reply[19], '2');
    EXPECT_EQ(reply.substr(20, 2), std::string(2, '\0'));
    EXPECT_EQ(reply.substr(22, 5), c.ercode);
    EXPECT_EQ(reply.substr(27, 5), "     ");
    EXPECT_TRUE(m.wait_err("opening of agent \"relay_1\"")) << m.err();
    EXPECT_TRUE(m.wait_err("host \"host1\" ip \"127.0.0.1\"")) << m.err();
    // Without --poll-ms nothing else comes.
    EXPECT_EQ(p.recv_message(300), "");

    // A batch on the session is recorded only when the opening was accepted.
    ASSERT_TRUE(p.send(one_record_batch()));
    bool accepted = std::string(c.ercode) == "00000";
    if (accepted) {
      EXPECT_EQ(m.wait_lines(1).size(), 1u);
    } else {
      EXPECT_TRUE(m.wait_err("on a refused session dropped")) << m.err();
      // A link that sends no opening (an adapter link) is not refused.
      Peer adapter(m.port());
      ASSERT_TRUE(adapter.send(one_record_batch()));
      auto lines = m.wait_lines(1);
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_NE(lines[0].find("\"peer\":\"" + adapter.peer_text() + "\""), std::string::npos);
    }
    EXPECT_EQ(m.stop(), 0);
  }
}

// --- polls ----------------------------------------------------------------------

TEST(Tavmaster, PollsAtTheIntervalAndChecksTheAnswers) {
  Master m({"--poll-ms", "200"});
  ASSERT_GT(m.port(), 0);
  auto t_connect = Clock::now();
  Peer p(m.port());
  ASSERT_TRUE(p.send(opening("relay_1")));
  ASSERT_EQ(p.recv_message().substr(9, 10), "SSSC000000");

  // An adapter link answers with the same 32 bytes, mtype "1".
  auto answer = [&](std::string poll, const char* ercode) {
    poll[8] = '1';
    poll.replace(22, 5, ercode);
    return p.send(poll);
  };
  std::vector<long long> at;
  std::vector<std::string> polls;
  for (int i = 0; i < 5; ++i) {
    std::string poll = p.recv_message(3000);
    ASSERT_EQ(poll.size(), 32u) << i;
    at.push_back(ms_since(t_connect));
    polls.push_back(poll);
    EXPECT_EQ(poll.substr(0, 4), be32(28));
    EXPECT_EQ(poll.substr(4, 4), "$TAV");
    EXPECT_EQ(poll[8], '0');
    EXPECT_EQ(poll.substr(9, 10), "SSSP000000");
    EXPECT_EQ(poll.substr(22, 5), "00000");
    // 0 and 2 answered, 1 answered wrongly, 3 not at all.
    if (i == 0 || i == 2) {
      ASSERT_TRUE(answer(poll, "00000"));
    } else if (i == 1) {
      ASSERT_TRUE(answer(poll, "00009"));
    }
  }
  EXPECT_GE(at[0], 150);
  for (size_t i = 1; i < at.size(); ++i) {
    EXPECT_GE(at[i] - at[i - 1], 150) << i;
    EXPECT_LE(at[i] - at[i - 1], 1500) << i;
  }
  EXPECT_TRUE(m.wait_err("poll answer mismatch: ercode \"00009\" (want \"00000\")")) << m.err();
  EXPECT_TRUE(m.wait_err("not answered")) << m.err();
  EXPECT_EQ(m.stop(), 0);
  EXPECT_NE(m.err().find("answered 2, mismatched 1, unanswered "), std::string::npos) << m.err();
}

TEST(Tavmaster, PollFromThePeerComesBackAsReply) {
  Master m({});
  ASSERT_GT(m.port(), 0);
  Peer p(m.port());
  _tavMasterhdr h;
  tm::fill_header(h, '0', tm::kPoll);
  h.trnum[0] = 1;
  h.trnum[1] = 2;
  memcpy(h.etc, "ABCDE", 5);
  std::string hdr(reinterpret_cast<const char*>(&h), sizeof h);
  // With a body, which is not sent back.
  ASSERT_TRUE(p.send(framed(hdr + "body")));
  std::string reply = p.recv_message();
  std::string want = be32(28) + hdr;
  want[8] = '1';
  EXPECT_EQ(reply, want);
  EXPECT_EQ(m.stop(), 0);
}

// --- batches ----------------------------------------------------------------------

TEST(Tavmaster, GtuidBatchSplitAcrossWritesGivesOneLinePerRecord) {
  Master m({});
  ASSERT_GT(m.port(), 0);
  Peer p(m.port());
  ASSERT_TRUE(p.send(opening("relay_1")));
  ASSERT_FALSE(p.recv_message().empty());
  std::string b = batch(tm::kGtuidBatch,
                        {wire(gtuid_record(0)), wire(gtuid_record(1)), wire(gtuid_record(2))});
  ASSERT_EQ(b.size(), 4u + 36 + 3 * 288);
  // Cuts inside the length field, the header, the count and the records.
  ASSERT_TRUE(p.send_pieces(b, {1, 3, 4, 10, 32, 36, 40, 41, 200, 328, 329, 600, 900}));
  auto lines = m.wait_lines(3);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            R"({"session":1,"peer":")" + p.peer_text() +
                R"(","batch":"MZZP000001","type":1,"gtuid":"1234567890123456789012",)"
                R"("seq":"00001","event":"S","direction":"R","dtime":"20261210120000000000",)"
                R"("nid":"007","pid":"00004321","tid":"00000099","trcode":"PAY-ORDER",)"
                R"("domain":"dom","node":"node-a","process":"front","service":"00004321",)"
                R"("scode":"1","pcode":"07","iotype":"S","ipaddr":"127.0.0.2","port":8000,)"
                R"("iosize":512,"etime":0,"rtime":0,"pattern":"010203ab","filler":"00000000"})");
  for (const char* part : {R"("seq":"00002","event":"C","direction":"S")",
                           R"("dtime":"20261210120000000001")", R"("port":8001,)",
                           R"("etime":1000,"rtime":10,)"})
    EXPECT_NE(lines[1].find(part), std::string::npos) << part << "\n" << lines[1];
  for (const char* part : {R"("seq":"00003","event":"E","direction":"S")", R"("port":8002,)",
                           R"("etime":2000,"rtime":20,)"})
    EXPECT_NE(lines[2].find(part), std::string::npos) << part << "\n" << lines[2];
  EXPECT_EQ(m.stop(), 0);
}

TEST(Tavmaster, TcodeBatchesOfEachCode) {
  mzp2_t r2{};
  put(r2.gtuid, "1234567890123456789012");
  put(r2.trcode, "PAY-ORDER");
  put(r2.seq, "00004");
  put(r2.dtime, "20261210120000000009");
  put(r2.ipaddr, "127.0.0.1");
  r2.blocking[0] = 0;
  mzp4_t r4{};
  memcpy(&r4, &r2, sizeof r2);
  r4.blocking[0] = 1;
  put(r4.custinfo, "cust\"7");
  put(r4.userinfo, "user\xe9");  // not UTF-8
  mzp2_t r2b = r2;
  put(r2b.seq, "00005");
  mzp4_t r4b = r4;
  put(r4b.seq, "00006");

  struct Case {
    const char* code;
    std::vector<std::string> records;
    std::string first_fields;
    const char* second_seq;
  } cases[] = {
      {tm::kTcodeBatch, {wire(r2), wire(r2b)},
       R"("type":2,"gtuid":"1234567890123456789012","trcode":"PAY-ORDER","seq":"00004",)"
       R"("dtime":"20261210120000000009","ipaddr":"127.0.0.1","blocking":0})",
       R"("seq":"00005")"},
      {tm::kTcode4Batch, {wire(r4), wire(r4b)},
       R"("type":4,"gtuid":"1234567890123456789012","trcode":"PAY-ORDER","seq":"00004",)"
       R"("dtime":"20261210120000000009","ipaddr":"127.0.0.1","blocking":1,)"
       R"("custinfo":"cust\"7","userinfo":"user\u00e9"})",
       R"("seq":"00006")"},
  };
  Master m({});
  ASSERT_GT(m.port(), 0);
  Peer p(m.port());
  ASSERT_TRUE(p.send(opening("relay_1")));
  ASSERT_FALSE(p.recv_message().empty());
  size_t have = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    ASSERT_TRUE(p.send(batch(c.code, c.records)));
    auto lines = m.wait_lines(have + 2);
    ASSERT_EQ(lines.size(), have + 2);
    EXPECT_EQ(lines[have], R"({"session":1,"peer":")" + p.peer_text() + R"(","batch":")" +
                               c.code + "\"," + c.first_fields);
    EXPECT_NE(lines[have + 1].find(c.second_seq), std::string::npos) << lines[have + 1];
    have += 2;
  }
  EXPECT_EQ(m.stop(), 0);
}

TEST(Tavmaster, MalformedBatchIsDroppedAndTheSessionGoesOn) {
  struct Case {
    const char* name;
    std::string message;
    const char* log;
  } cases[] = {
      {"count above the records",
       batch(tm::kGtuidBatch, {wire(gtuid_record(0)), wire(gtuid_record(1))}, 3),
       "announces 3 records of 288 bytes; dropped"},
      {"count below the records", batch(tm::kTcode4Batch, {std::string(168, 'x')}, 0),
       "announces 0 records of 168 bytes; dropped"},
      {"header only", framed(header('0', tm::kTcodeBatch)), "has no record count; dropped"},
  };
  Master m({});
  ASSERT_GT(m.port(), 0);
  Peer p(m.port());
  size_t good = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(p.send(c.message));
    EXPECT_TRUE(m.wait_err(c.log)) << m.err();
    ASSERT_TRUE(p.send(one_record_batch()));
    ++good;
    EXPECT_EQ(m.wait_lines(good).size(), good);
  }
  pause_ms(100);
  EXPECT_EQ(m.lines().size(), good);
  EXPECT_EQ(m.stop(), 0);
}

// Messages that are neither openings, polls nor batches (the adapter's
// packets) are shown with their code and the start of their body.
TEST(Tavmaster, OtherMessagesAreShownAsTheyCame) {
  Master m({});
  ASSERT_GT(m.port(), 0);
  Peer p(m.port());
  const std::string body = std::string("pay \"load\"\xff") + std::string(5000, 'z');
  ASSERT_TRUE(p.send(framed(header('1', "WASP000001") + body)));
  ASSERT_TRUE(p.send(framed(header('0', "XXXX000000"))));
  auto lines = m.wait_lines(2);
  ASSERT_EQ(lines.size(), 2u);
  const std::string shown = R"(pay \"load\"\u00ff)" + std::string(4096 - 11, 'z');
  EXPECT_EQ(lines[0], R"({"session":1,"peer":")" + p.peer_text() +
                          R"(","message":"WASP000001","mtype":"1","size":)" +
                          std::to_string(32 + body.size()) + R"(,"body":")" + shown + "\"}");
  EXPECT_EQ(lines[1], R"({"session":1,"peer":")" + p.peer_text() +
                          R"(","message":"XXXX000000","mtype":"0","size":32,"body":""})");
  // The session goes on.
  ASSERT_TRUE(p.send(one_record_batch()));
  EXPECT_EQ(m.wait_lines(3).size(), 3u);
  EXPECT_EQ(m.stop(), 0);
}

// --- hostile and broken peers ----------------------------------------------------

TEST(Tavmaster, BadLengthFieldClosesOnlyThatSession) {
  struct Case {
    std::vector<std::string> args;
    uint32_t length;
    std::string log;
  } cases[] = {
      {{}, 0xfffffff0u, "length field 4294967280 above the bound 16777216"},
      {{}, 0x7fffffffu, "length field 2147483647 above the bound"},
      {{"--max-message", "1000"}, 1001, "length field 1001 above the bound 1000"},
      {{}, 27, "length field 27 shorter than a header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    Master m(c.args);
    ASSERT_GT(m.port(), 0);
    Peer good(m.port());
    ASSERT_TRUE(good.send(opening("relay_1")));
    ASSERT_FALSE(good.recv_message().empty());

    Peer bad(m.port());
    ASSERT_TRUE(bad.send(be32(c.length) + header('0', tm::kGtuidBatch) + std::string(100, 'x')));
    EXPECT_TRUE(bad.closed_by_master());
    EXPECT_TRUE(m.wait_err(c.log)) << m.err();
    // Nothing near the announced size was allocated.
    EXPECT_LT(m.rss_kib(), 64 * 1024);

    ASSERT_TRUE(good.send(one_record_batch()));
    auto lines = m.wait_lines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"peer\":\"" + good.peer_text() + "\""), std::string::npos);
    EXPECT_EQ(m.stop(), 0);
  }
}

TEST(Tavmaster, PeerGoneMidMessageLeavesTheMasterServing) {
  struct Case {
    size_t sent;  // bytes of a 328-byte batch sent before the peer goes
    bool reset;   // gone with a reset instead of an orderly close
  } cases[] = {{2, false}, {20, false}, {140, false}, {140, true}};
  Master m({"--poll-ms", "100"});
  ASSERT_GT(m.port(), 0);
  std::string b = one_record_batch();
  ASSERT_EQ(b.size(), 328u);
  size_t good = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    {
      Peer gone(m.port());
      ASSERT_TRUE(gone.send(b.substr(0, c.sent)));
      pause_ms(50);
      if (c.reset) gone.reset();
    }
    EXPECT_TRUE(m.wait_err(c.reset ? "closed: Connection reset by peer"
                                   : "closed: peer closed in the middle of a message"))
        << m.err();
    ASSERT_TRUE(m.running());
    Peer next(m.port());
    ASSERT_TRUE(next.send(b));
    ++good;
    EXPECT_EQ(m.wait_lines(good).size(), good);
  }
  EXPECT_EQ(m.stop(), 0);
}

TEST(Tavmaster, ManySessionsAtOnce) {
  constexpr int kPeers = 20;
  Master m({});
  ASSERT_GT(m.port(), 0);
  std::vector<std::unique_ptr<Peer>> peers;
  std::vector<std::string> batches;
  for (int i = 0; i < kPeers; ++i) {
    peers.push_back(std::make_unique<Peer>(m.port()));
    ASSERT_TRUE(peers.back()->ok());
    char gtuid[23];
    snprintf(gtuid, sizeof gtuid, "%022d", i);
    batches.push_back(one_record_batch(gtuid));
  }
  // Every session holds half a message before any finishes its own.
  for (int i = 0; i < kPeers; ++i) ASSERT_TRUE(peers[i]->send(batches[i].substr(0, 100)));
  pause_ms(50);
  for (int i = kPeers - 1; i >= 0; --i) ASSERT_TRUE(peers[i]->send(batches[i].substr(100)));
  auto lines = m.wait_lines(kPeers);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kPeers));
  std::map<std::string, std::string> peer_of;  // gtuid -> peer
  for (const auto& l : lines) {
    size_t g = l.find("\"gtuid\":\"");
    size_t p = l.find("\"peer\":\"");
    ASSERT_NE(g, std::string::npos);
    ASSERT_NE(p, std::string::npos);
    peer_of[l.substr(g + 9, 22)] = l.substr(p + 8, l.find('"', p + 8) - p - 8);
  }
  ASSERT_EQ(peer_of.size(), static_cast<size_t>(kPeers));
  for (int i = 0; i < kPeers; ++i) {
    char gtuid[23];
    snprintf(gtuid, sizeof gtuid, "%022d", i);
    EXPECT_EQ(peer_of[gtuid], peers[i]->peer_text()) << i;
  }
  EXPECT_EQ(m.stop(), 0);
}

TEST(Tavmaster, SessionLimitClosesExtraConnections) {
  Master m({"--max-sessions", "2"});
  ASSERT_GT(m.port(), 0);
  auto first = std::make_unique<Peer>(m.port());
  Peer second(m.port());
  for (Peer* p : {first.get(), &second}) {
    ASSERT_TRUE(p->send(opening("relay_1")));
    ASSERT_FALSE(p->recv_message().empty());
  }
  Peer third(m.port());
  EXPECT_TRUE(third.closed_by_master());
  EXPECT_TRUE(m.wait_err("session limit (2) reached")) << m.err();
  first.reset();
  EXPECT_TRUE(m.wait_err("session 1 ")) << m.err();
  EXPECT_TRUE(m.wait_err("closed: peer closed")) << m.err();
  Peer fourth(m.port());
  ASSERT_TRUE(fourth.send(opening("relay_2")));
  EXPECT_EQ(fourth.recv_message().substr(9, 10), "SSSC000000");
  EXPECT_EQ(m.stop(), 0);
}

// --- start and stop -------------------------------------------------------------------

TEST(Tavmaster, StopSignalEndsWithStatusZero) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    Master m({"--poll-ms", "50"});
    ASSERT_GT(m.port(), 0);
    Peer p(m.port());
    ASSERT_TRUE(p.send(one_record_batch()));
    ASSERT_EQ(m.wait_lines(1).size(), 1u);
    // A session in the middle of a message when the signal comes.
    ASSERT_TRUE(p.send(one_record_batch().substr(0, 100)));
    pause_ms(100);
    auto t0 = Clock::now();
    EXPECT_EQ(m.stop(sig), 0);
    EXPECT_LT(ms_since(t0), 2000);
    EXPECT_NE(m.err().find("stopped: sessions 1, batches 1, records 1"), std::string::npos)
        << m.err();
    EXPECT_EQ(m.lines().size(), 1u);
  }
}

// The output is a pipe whose reader stops reading, or goes away.
TEST(Tavmaster, OutputPipeThatStallsOrCloses) {
  for (bool reader_gone : {false, true}) {
    SCOPED_TRACE(reader_gone ? "reader gone" : "reader stalls");
    TempDir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Master m({"--out", fifo}, /*with_out=*/false);
    ASSERT_GT(m.port(), 0);
    if (reader_gone) close(reader);
    Peer p(m.port());
    // One batch gives far more JSON than a pipe holds.
    std::vector<std::string> records(1000, wire(gtuid_record(0)));
    ASSERT_TRUE(p.send(batch(tm::kGtuidBatch, records)));
    if (reader_gone) {
      EXPECT_EQ(m.exit_status(), 1);
      EXPECT_TRUE(m.wait_err("output failed")) << m.err();
    } else {
      pause_ms(300);
      ASSERT_TRUE(m.running());
      auto t0 = Clock::now();
      EXPECT_EQ(m.stop(), 0);
      EXPECT_LT(ms_since(t0), 2000);
      close(reader);
    }
  }
}

TEST(Tavmaster, WritesToStandardOutputWithoutOut) {
  Master m({}, /*with_out=*/false);
  ASSERT_GT(m.port(), 0);
  EXPECT_NE(m.err().find("tavmaster listening on 127.0.0.1:" + std::to_string(m.port()) + "\n"),
            std::string::npos)
      << m.err();
  Peer p(m.port());
  ASSERT_TRUE(p.send(one_record_batch()));
  auto lines = m.wait_lines(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("{\"session\":1,", 0), 0u) << lines[0];
  EXPECT_EQ(m.stop(), 0);
}

TEST(Tavmaster, BadCommandLineOrOutputEndsAtOnce) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* log;
  } cases[] = {
      {{"--port", "70000"}, 2, "--port must be 0 to 65535"},
      {{"--refuse", "1"}, 2, "--refuse needs a code of 5 printable characters"},
      {{"--bogus"}, 2, "Usage:"},
      {{"--port", "0", "--out", dir.file("missing/out.json")}, 1, "cannot open"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    std::string err = dir.file("err");
    std::vector<std::string> all = {kProg};
    all.insert(all.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(e, 2);
      execv(kProg.c_str(), argv.data());
      _exit(127);
    }
    ASSERT_GT(pid, 0);
    int status = -1;
    if (!reap(pid, 5000, &status)) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(status, c.status);
    EXPECT_NE(TempDir::read(err).find(c.log), std::string::npos) << TempDir::read(err);
  }
}

}  // namespace
