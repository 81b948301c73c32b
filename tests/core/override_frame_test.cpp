// Messages between two monitored ends, through the overrides linked into
// this program: both ends of a loopback connection are this process's own,
// so the wire is read with the real calls to see what the probe sent.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "base/tav_real.h"
#include "core/tav_build.h"
#include "core/tav_frame.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "tcp_pair.h"
#include "wire_reads.h"

namespace {

// The WebtoB build passes send through unframed.
#if defined(TAV_BUILD_WEBTOB)
constexpr bool kSendFramed = false;
#else
constexpr bool kSendFramed = true;
#endif

bool wire_empty(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 50) == 0;
}

class FrameOverrides : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tav::prologue()) << "the library did not start";
    m_ = tav_thrinfo();
    ASSERT_TRUE(tav::thread_usable(m_));
    ASSERT_GE(c_.server, 0);
    ASSERT_NE(en_mfd[c_.client].info & MFD_SERVICE, 0);
    m_->gtuid.gflag = 0;
  }
  void TearDown() override { m_->gtuid.gflag = 0; }

  // Gives the thread an active transaction with a known identifier.
  void activate() {
    tav_gtuid_create(m_);
    memcpy(m_->gtuid.init, TAV_GTUID_INIT, 4);
    m_->gtuid.seq = 40;
    m_->gtuid.rem[0] = 0;
  }

  TcpPair c_{true};
  mthr* m_ = nullptr;
};

TEST_F(FrameOverrides, TransactionTravelsWithTheMessage) {
  activate();
  const gtuid_t sent_id = m_->gtuid;
  ASSERT_EQ(::write(c_.client, "0123456789", 10), 10);
  EXPECT_EQ(m_->gtuid.gflag, 0) << "handed over to the peer";
  const uint16_t sent_seq = m_->gtuid.seq.get();

  // The receiving end takes the block off and the transaction over.
  char buf[100];
  EXPECT_EQ(::read(c_.server, buf, sizeof buf), 10);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  EXPECT_EQ(m_->gtuid.gflag, 1);
  EXPECT_EQ(memcmp(m_->gtuid.gtuid, sent_id.gtuid, sizeof sent_id.gtuid), 0);
  EXPECT_EQ(m_->gtuid.seq.get(), sent_seq + 1);
  EXPECT_EQ(en_mfd[c_.server].rsize, 0);
}

TEST_F(FrameOverrides, WireCarriesOneBlockPerMessage) {
  ASSERT_EQ(::write(c_.client, "abc", 3), 3);
  ASSERT_EQ(::send(c_.client, "defg", 4, 0), 4);
  ASSERT_EQ(::write(c_.client, "", 0), 0) << "an empty write is passed through";
  if (!kSendFramed) {
    // This build leaves send alone: its bytes follow the framed write as they are.
    const std::string w = wire(c_.server, 96 + 3 + 4);
    ASSERT_EQ(w.size(), 103u);
    EXPECT_EQ(block_of(w).pck.get(), 3u);
    EXPECT_EQ(w.substr(96), "abcdefg");
    EXPECT_TRUE(wire_empty(c_.server));
    return;
  }
  const std::string w = wire(c_.server, 96 + 3 + 96 + 4);
  ASSERT_EQ(w.size(), 199u);
  EXPECT_EQ(block_of(w).pck.get(), 3u);
  EXPECT_EQ(w.substr(96, 3), "abc");
  EXPECT_EQ(block_of(w.substr(99)).pck.get(), 4u);
  EXPECT_EQ(block_of(w.substr(99)).gflag, 0);
  EXPECT_EQ(w.substr(195), "defg");
  EXPECT_TRUE(wire_empty(c_.server)) << "no bare block for the empty write";
}

// The peer was taken for monitored but answers without a block (an
// unmonitored program took the port): the request already went out framed,
// nothing after the answer does.
TEST_F(FrameOverrides, PeerThatAnswersWithoutABlockGetsNoMoreBlocks) {
  if (!kSendFramed) GTEST_SKIP() << "this build leaves send alone";
  ASSERT_EQ(::send(c_.client, "ping", 4, 0), 4);
  EXPECT_EQ(wire(c_.server, 96 + 4).size(), 100u);
  ASSERT_EQ(tav::real::write(c_.server, "pong", 4), 4);
  char buf[16];
  ASSERT_EQ(::recv(c_.client, buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "pong");
  EXPECT_EQ(en_mfd[c_.client].info & MFD_SERVICE, 0);
  ASSERT_EQ(::send(c_.client, "again", 5, 0), 5);
  ASSERT_EQ(::write(c_.client, "more", 4), 4);
  EXPECT_EQ(wire(c_.server, 9), "againmore");
  EXPECT_TRUE(wire_empty(c_.server));
}

// A file sent with sendfile goes out as written messages do: behind the
// block, with the file position or the caller's offset moved by what went.
TEST_F(FrameOverrides, SendfileGoesOutBehindTheBlock) {
  char path[] = "/tmp/qel-sendfile-XXXXXX";
  const int file = mkstemp(path);
  ASSERT_GE(file, 0);
  unlink(path);
  std::string data;
  for (int i = 0; i < 20000; ++i) data.push_back(static_cast<char>('a' + i % 23));
  ASSERT_EQ(tav::real::write(file, data.data(), data.size()), static_cast<ssize_t>(data.size()));

  // With an offset: the file position stays.
  off_t off = 5;
  ASSERT_EQ(sendfile(c_.client, file, &off, 10), 10);
  EXPECT_EQ(off, 15);
  EXPECT_EQ(lseek(file, 0, SEEK_CUR), static_cast<off_t>(data.size()));
  const std::string w = wire(c_.server, 96 + 10);
  ASSERT_EQ(w.size(), 106u);
  EXPECT_EQ(block_of(w).pck.get(), 10u);
  EXPECT_EQ(w.substr(96), data.substr(5, 10));

  // From the file position, in as many calls as it takes; the peer's host
  // reads the file's bytes exactly.
  ASSERT_EQ(lseek(file, 0, SEEK_SET), 0);
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    while (got.size() < data.size()) {
      const ssize_t k = ::read(c_.server, buf, sizeof buf);
      if (k <= 0) break;
      got.append(buf, static_cast<size_t>(k));
    }
  });
  size_t sent = 0;
  int calls = 0;
  while (sent < data.size()) {
    const ssize_t k = sendfile(c_.client, file, nullptr, data.size() - sent);
    ASSERT_GT(k, 0) << strerror(errno);
    sent += static_cast<size_t>(k);
    ++calls;
  }
  reader.join();
  EXPECT_EQ(got, data);
  EXPECT_GT(calls, 1);
  EXPECT_EQ(lseek(file, 0, SEEK_CUR), static_cast<off_t>(data.size()));
  ::close(file);
}

TEST_F(FrameOverrides, SmallReadsAndPeekAtTheBoundary) {
  ASSERT_EQ(::write(c_.client, "0123456789", 10), 10);
  char buf[100];
  EXPECT_EQ(::recv(c_.server, buf, sizeof buf, MSG_PEEK), 10);
  EXPECT_EQ(en_mfd[c_.server].rsize, 10) << "a peek does not consume the payload";
  EXPECT_EQ(::read(c_.server, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(en_mfd[c_.server].rsize, 6);
  ASSERT_EQ(::write(c_.client, "next", 4), 4);
  EXPECT_EQ(::read(c_.server, buf, sizeof buf), 6) << "capped to the message";
  EXPECT_EQ(std::string(buf, 6), "456789");
  EXPECT_EQ(::read(c_.server, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "next");
}

// A block that announces no payload is complete in itself: the next read
// returns the following message, not its block.
TEST_F(FrameOverrides, EmptyMessageFromAPeerIsSkipped) {
  gtuid_t b{};
  memcpy(b.init, TAV_GTUID_INIT, 4);
  std::string bytes(reinterpret_cast<const char*>(&b), sizeof b);
  b.pck = 2;
  bytes += std::string(reinterpret_cast<const char*>(&b), sizeof b) + "hi";
  ASSERT_EQ(tav::real::write(c_.server, bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
  char buf[300];
  EXPECT_EQ(::read(c_.client, buf, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "hi");
}

// Framed sends keep the host's flags: no SIGPIPE under MSG_NOSIGNAL once the
// peer has gone, and no blocking under MSG_DONTWAIT when the buffer is full.
TEST_F(FrameOverrides, SendKeepsTheHostsFlags) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    TcpPair c(true);
    ::close(c.server);
    c.server = -1;
    ssize_t rc = 0;
    for (int i = 0; i < 100 && rc >= 0; ++i) {
      rc = ::send(c.client, "x", 1, MSG_NOSIGNAL);
      usleep(1000);
    }
    _exit(rc == -1 && errno == EPIPE ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "status " << status << (WIFSIGNALED(status) ? " (killed by a signal)" : "");

  const std::string chunk(65536, 'z');
  ssize_t rc = 0;
  int rounds = 0;
  while (rc >= 0 && rounds++ < 1000) rc = ::send(c_.client, chunk.data(), chunk.size(), MSG_DONTWAIT);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(errno, EAGAIN);
}

// Non-blocking writes that the kernel takes in pieces, read back in small
// pieces at the other end: every byte arrives, in order, with no block bytes
// among them.
TEST_F(FrameOverrides, PartialNonBlockingWritesKeepTheStream) {
  // A small send buffer makes the kernel take writes in pieces.
  int small = 4096;
  setsockopt(c_.client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ASSERT_EQ(fcntl(c_.client, F_SETFL, fcntl(c_.client, F_GETFL) | O_NONBLOCK), 0);
  std::string data;
  for (int i = 0; i < 600000; ++i) data.push_back(static_cast<char>('a' + (i * 7 + i / 251) % 26));

  std::string got;
  // The reader starts once the writer has met a full buffer, so that the
  // writes are cut short and refused however fast the reader would be.
  std::atomic<bool> full{false};
  std::thread reader([&] {
    for (int i = 0; i < 10000 && !full; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    char buf[777];
    size_t chunk = 1;
    while (got.size() < data.size()) {
      const ssize_t k = ::read(c_.server, buf, chunk);
      if (k <= 0) break;
      got.append(buf, static_cast<size_t>(k));
      chunk = (chunk + 97) % sizeof buf + 1;  // 1 .. sizeof buf
    }
  });
  size_t at = 0;
  size_t piece = 1;
  int short_writes = 0, refused = 0;
  while (at < data.size()) {
    const size_t n = std::min(piece, data.size() - at);
    // Through send, except where the build leaves send alone.
    const char* piece_at = data.data() + at;
    const ssize_t k = kSendFramed ? ::send(c_.client, piece_at, n, 0) : ::write(c_.client, piece_at, n);
    if (k < 0) {
      ASSERT_EQ(errno, EAGAIN);
      ++refused;
      full = true;
      pollfd p{c_.client, POLLOUT, 0};
      poll(&p, 1, 1000);
      continue;
    }
    ASSERT_GT(k, 0);
    ASSERT_LE(static_cast<size_t>(k), n);
    if (static_cast<size_t>(k) < n) ++short_writes;
    at += static_cast<size_t>(k);
    piece = piece * 3 % 70001 + 1;
  }
  reader.join();
  EXPECT_GT(short_writes, 0) << "the kernel took every write whole";
  EXPECT_GT(refused, 0);
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data) << "the payload arrived changed";
  EXPECT_EQ(en_mfd[c_.client].wsize, 0);
  EXPECT_EQ(en_mfd[c_.client].wtail, 0);
}

// A reply on an entry connection ends the transaction; the keep flag holds
// it over writes on other connections.
TEST_F(FrameOverrides, EntryConnectionStartsAndEndsATransaction) {
  // Make the accepted end an entry connection whose first read is done.
  en_mfd[c_.server].info = (en_mfd[c_.server].info & ~MFD_SERVICE) | MFD_START | MFD_FIRSTREAD;
  ASSERT_EQ(tav::real::write(c_.client, "GET /", 5), 5);
  char buf[16];
  EXPECT_EQ(::read(c_.server, buf, sizeof buf), 5);
  EXPECT_EQ(m_->gtuid.gflag, 1) << "a request starts a transaction";

  m_->gtuid.rem[0] = 1;
  ASSERT_EQ(::write(c_.server, "kept", 4), 4);
  EXPECT_EQ(m_->gtuid.gflag, 1) << "the keep flag holds the transaction";
  m_->gtuid.rem[0] = 0;
  ASSERT_EQ(::write(c_.server, "reply", 5), 5);
  EXPECT_EQ(m_->gtuid.gflag, 0) << "the reply ends it";
  EXPECT_EQ(wire(c_.client, 9), "keptreply");
}

// An answer written with send ends the transaction the request started, in
// every build (the WebtoB build frames nothing that send writes, but a
// process other than its HTTP handler answers with it too).
TEST_F(FrameOverrides, EntryConnectionAnsweredWithSendEndsTheTransaction) {
  en_mfd[c_.server].info = (en_mfd[c_.server].info & ~MFD_SERVICE) | MFD_START | MFD_FIRSTREAD;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(tav::real::write(c_.client, "GET /", 5), 5);
    char buf[16];
    EXPECT_EQ(::read(c_.server, buf, sizeof buf), 5);
    EXPECT_EQ(m_->gtuid.gflag, 1) << "a request starts a transaction";
    ASSERT_EQ(::send(c_.server, "reply", 5, MSG_NOSIGNAL), 5);
    EXPECT_EQ(m_->gtuid.gflag, 0) << "the answer ends it";
    EXPECT_EQ(wire(c_.client, 5), "reply") << "nothing framed";
  }
}

// Control messages go out behind a block that does not carry the
// transaction, and the transaction stays with the thread.
TEST_F(FrameOverrides, ControlMessagesDoNotHandOverTheTransaction) {
  if (!kSendFramed) GTEST_SKIP() << "this build leaves send alone";
  activate();
  std::string tpstart(96, '\0');
  memcpy(tpstart.data(), "\x90\x35\x20\x82", 4);
  tpstart[19] = 1;
  ASSERT_EQ(::send(c_.client, tpstart.data(), tpstart.size(), 0), 96);
  EXPECT_EQ(m_->gtuid.gflag, 1);
  EXPECT_NE(en_mfd[c_.client].info & MFD_TPSTART, 0);
  const std::string w = wire(c_.server, 192);
  EXPECT_EQ(block_of(w).gflag, 0);
  EXPECT_EQ(block_of(w).pck.get(), 96u);
  EXPECT_EQ(w.substr(96), tpstart);
}

TEST_F(FrameOverrides, RemoteCallHelloTurnsThePortIntoAServiceConnection) {
  if (!kSendFramed) GTEST_SKIP() << "this build leaves send alone";
  en_mfd[c_.client].info = (en_mfd[c_.client].info & ~(MFD_SERVICE | MFD_FIRSTREAD)) | MFD_JRMI;
  ASSERT_EQ(::send(c_.client, "JRMI\x00\x02K", 7, 0), 7);
  EXPECT_NE(en_mfd[c_.client].info & MFD_SERVICE, 0);
  const std::string w = wire(c_.server, 103);
  EXPECT_EQ(block_of(w).pck.get(), 7u);
  EXPECT_EQ(w.substr(96), std::string("JRMI\x00\x02K", 7));
}

}  // namespace

namespace {

// Writes on a connection that is neither an entry nor a service connection:
// the address keep mode (on unless turned off) and the keep kinds hold the
// transaction, anything else ends it.
TEST_F(FrameOverrides, OtherConnectionsEndTheTransactionOnlyWithoutKeep) {
  struct Case {
    int keep_mode;
    int extra;  // kind bits of the descriptor
    bool still_active;
  };
  const int saved = en_ip_keep_mode;
  for (const Case& k : {Case{1, 0, true}, Case{0, 0, false}, Case{0, MFD_KEEP, true},
                        Case{0, MFD_ADAPTER, true}}) {
    SCOPED_TRACE(testing::Message() << "keep mode " << k.keep_mode << " kind 0x" << std::hex
                                    << k.extra);
    en_ip_keep_mode = k.keep_mode;
    const int saved_info = en_mfd[c_.server].info;
    en_mfd[c_.server].info = (saved_info & ~(MFD_SERVICE | MFD_START)) | MFD_FIRSTREAD | k.extra;
    activate();
    ASSERT_EQ(::write(c_.server, "x", 1), 1);
    EXPECT_EQ(m_->gtuid.gflag == 1, k.still_active);
    en_mfd[c_.server].info = saved_info;
  }
  en_ip_keep_mode = saved;
}

// Writes on a database connection time the call: the first opens it, a
// further write of the same kind continues it, one of another kind completes
// it and opens another.
TEST_F(FrameOverrides, DatabaseWritesOpenContinueAndSwitchCalls) {
  en_mfd[c_.client].info = (en_mfd[c_.client].info & ~MFD_SERVICE) | MFD_ORACLE | MFD_FIRSTREAD;
  activate();
  m_->dbmsf = 0;
  ASSERT_EQ(::write(c_.client, "q1", 2), 2);
  EXPECT_EQ(m_->dbmsf, ')');
  EXPECT_EQ(m_->gtuid.svc, 1);
  ASSERT_EQ(::write(c_.client, "q2", 2), 2);
  EXPECT_EQ(m_->dbmsf, ')') << "the same call goes on";
  en_mfd[c_.client].info = (en_mfd[c_.client].info & ~MFD_ORACLE) | MFD_SYBASE;
  ASSERT_EQ(::write(c_.client, "q3", 2), 2);
  EXPECT_EQ(m_->dbmsf, '+') << "a call of another kind";
  EXPECT_EQ(wire(c_.server, 6), "q1q2q3") << "database traffic is never framed";
  EXPECT_EQ(m_->gtuid.gflag, 1);
  m_->dbmsf = 0;
}

// A database listener's redirect names the port of the next connect, found
// only within the bytes read and only when the digits are closed.
TEST_F(FrameOverrides, DatabaseRedirectNamesTheNextPort) {
  const std::string header("\x00\x3a\x00\x00\x05\x00\x00\x00", 8);
  const std::string text = "(ADDRESS=(PROTOCOL=tcp)(HOST=10.0.0.9)(PORT=1522))";
  struct Case {
    const char* name;
    std::vector<std::string> reads;
    int port;  // the thread's redirect state afterwards
  };
  const std::vector<Case> cases = {
      {"one_read", {header + "xx" + text}, 1522},
      {"header_then_text", {header, std::string(10, ' ') + text}, 1522},
      {"no_closing_parenthesis", {header + "xx" + text.substr(0, text.size() - 2) + "  "}, 1},
      {"not_a_redirect", {std::string("\x00\x3a\x00\x00\x02\x00\x00\x00", 8) + "xx" + text}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    en_mfd[c_.client].info = (en_mfd[c_.client].info & ~MFD_SERVICE) | MFD_ORACLE_MS | MFD_FIRSTREAD;
    m_->dbmsp = 0;
    for (const std::string& r : c.reads) {
      ASSERT_EQ(tav::real::write(c_.server, r.data(), r.size()), static_cast<ssize_t>(r.size()));
      std::string got(r.size(), '\0');
      ASSERT_EQ(::read(c_.client, got.data(), got.size()), static_cast<ssize_t>(r.size()));
      EXPECT_EQ(got, r) << "the host reads its bytes";
    }
    EXPECT_EQ(m_->dbmsp, c.port);
  }
  m_->dbmsp = 0;
}

}  // namespace
