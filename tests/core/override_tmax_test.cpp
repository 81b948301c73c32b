// Tmax build, through the overrides linked into this program: a client
// handler follows the messages it reads, hands their transaction on inside
// its buffer and takes it back when it writes the message on; greetings of
// monitored peers; bad headers and forged tickets.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_real.h"
#include "core/tav_build.h"
#include "core/tav_io.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "handler_fixture.h"
#include "tcp_pair.h"
#include "wire_reads.h"

#if defined(TAV_BUILD_TMAX)
#include "servers/tmax/tav_tmax.h"
#include "servers/tmax/tav_tmax_handoff.h"
#include "servers/tmax/tav_tmax_io.h"

namespace {

using namespace std::chrono_literals;

// A message: the magic of the form, the kind at 16 in the magic's byte
// order, a service name at 68, the body length at the form's offset (host
// order), and the body.
std::string message(const char* magic, uint32_t kind, int32_t body_len, size_t body_bytes,
                    const char* service = "SVC1") {
  const bool short_form = magic[0] == 0;
  const size_t hsize = short_form ? 96 : 136, doffs = short_form ? 84 : 100;
  std::string m(hsize, '\0');
  memcpy(&m[0], magic, 4);
  for (int i = 0; i < 4; ++i)
    m[16 + i] = static_cast<char>(static_cast<uint8_t>(magic[0] == '\x82' ? kind >> (8 * i) : kind >> (8 * (3 - i))));
  memcpy(&m[68], service, strlen(service));
  memcpy(&m[doffs], &body_len, 4);
  for (size_t i = 0; i < body_bytes; ++i) m.push_back(static_cast<char>('a' + i % 26));
  return m;
}

constexpr const char* kBig = "\x90\x35\x20\x82";
constexpr const char* kLittle = "\x82\x20\x35\x90";
constexpr const char* kShort = "\x00\x00\x27\x0f";

int32_t int_at(const std::string& s, size_t at) { return tav::host_int32(s.data() + at); }

// Reads exactly n bytes as the host does, through the overrides.
std::string host_read(int fd, size_t n) {
  std::string got(n, '\0');
  size_t have = 0;
  while (have < n) {
    const ssize_t k = ::read(fd, got.data() + have, n - have);
    if (k <= 0) break;
    have += static_cast<size_t>(k);
  }
  got.resize(have);
  return got;
}

class TmaxOverrides : public HandlerFixture<&tav_tmax_proc, TAV_TMAX_CLH, tav::tmax::make_records> {
 protected:
  // Reads one message as a handler does: as much as it asks for, until the
  // header's length says the message is complete.
  std::string read_message(int fd) {
    std::string got;
    char buf[4096];
    for (;;) {
      size_t total = SIZE_MAX;
      if (got.size() >= 4) {
        const bool short_form = got[0] == 0;
        const size_t hsize = short_form ? 96 : 136;
        if (got.size() >= hsize) total = hsize + static_cast<size_t>(std::max(int_at(got, short_form ? 84 : 100), 0));
      }
      if (got.size() >= total) return got;
      const ssize_t k = ::read(fd, buf, sizeof buf);
      if (k <= 0) return got;
      got.append(buf, static_cast<size_t>(k));
    }
  }
};

struct SplitCase {
  const char* name;
  const char* magic;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class TmaxSplit : public TmaxOverrides, public ::testing::WithParamInterface<SplitCase> {};

// One message fed in every two-read split: the handler's host sees the
// header as sent and the body behind a ticket, and the message it writes on
// goes out as sent, behind the transaction that its read started.
TEST_P(TmaxSplit, MessageCutAnywhereIsFollowed) {
  const char* magic = GetParam().magic;
  const std::string first = message(magic, 3, 20, 20);
  const std::string msg = message(magic, 4, 24, 24, "TOLQUERY");
  const size_t hsize = magic[0] == 0 ? 96 : 136;
  const int marker = tav::tmax::kHandoffMarker;

  ASSERT_EQ(tav::real::write(entry_.client, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  const std::string got_first = read_message(entry_.server);
  ASSERT_EQ(got_first.size(), first.size());
  EXPECT_EQ(int_at(got_first, hsize), marker) << "the first message's transaction is handed on";
  ASSERT_EQ(::write(service_.client, got_first.data(), got_first.size()), static_cast<ssize_t>(first.size()));
  EXPECT_EQ(wire(service_.server, 96 + first.size()).substr(96), first);

  const int out_before = tav::tmax::handoff_count();
  for (size_t cut = 1; cut < msg.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    std::thread peer([&] {
      tav::real::write(entry_.client, msg.data(), cut);
      std::this_thread::sleep_for(5ms);
      tav::real::write(entry_.client, msg.data() + cut, msg.size() - cut);
    });
    const std::string got = read_message(entry_.server);
    peer.join();
    ASSERT_EQ(got.size(), msg.size());
    EXPECT_EQ(got.substr(0, hsize), msg.substr(0, hsize)) << "the header reaches the host as sent";
    EXPECT_EQ(got.substr(hsize + 16), msg.substr(hsize + 16));
    ASSERT_EQ(int_at(got, hsize), marker) << "no hand-off: the transaction ended in the handler";
    EXPECT_EQ(tav::tmax::handoff_count(), out_before + 1);
    EXPECT_EQ(m_->gtuid.gflag, 0) << "the transaction waits in the buffer, not in the thread";
    const gtuid_t started = en_tmax_gtuid[entry_.server].gtuid;

    ASSERT_EQ(::write(service_.client, got.data(), got.size()), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(tav::tmax::handoff_count(), out_before);
    const std::string w = wire(service_.server, 96 + msg.size());
    ASSERT_EQ(w.size(), 96 + msg.size());
    const gtuid_t block = block_of(w);
    EXPECT_EQ(block.gflag, 1) << "the message goes on with its transaction";
    EXPECT_EQ(memcmp(block.gtuid, started.gtuid, sizeof block.gtuid), 0);
    EXPECT_EQ(w.substr(96), msg) << "the message goes on as it came";
    EXPECT_EQ(en_tmax_gtuid[entry_.server].rbyte, 0);
  }
  EXPECT_TRUE(nothing_more(service_.server));
}

INSTANTIATE_TEST_SUITE_P(Forms, TmaxSplit,
                         ::testing::Values(SplitCase{"long_little_endian", kLittle}, SplitCase{"short", kShort}),
                         [](const auto& info) { return std::string(info.param.name); });

// The first message of a connection, whose first bytes are there alone
// when the host reads: the form is learned once the whole magic has come,
// and the message is followed like any other.
TEST_F(TmaxOverrides, FirstMessageCutInItsMagicIsFollowed) {
  const std::string msg = message(kBig, 3, 20, 20);
  for (size_t cut : {1, 2, 3}) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    TcpPair link;
    en_mfd[link.server].info = MFD_START | MFD_FIRSTREAD | MFD_INET | MFD_LOCAL;
    ASSERT_EQ(tav::real::write(link.client, msg.data(), cut), static_cast<ssize_t>(cut));
    std::this_thread::sleep_for(5ms);
    std::thread peer([&] {
      std::this_thread::sleep_for(20ms);
      tav::real::write(link.client, msg.data() + cut, msg.size() - cut);
    });
    const std::string got = read_message(link.server);
    peer.join();
    ASSERT_EQ(got.size(), msg.size());
    EXPECT_EQ(en_mfd[link.server].hsize, 136);
    EXPECT_EQ(int_at(got, 136), tav::tmax::kHandoffMarker);
    ASSERT_EQ(::write(service_.client, got.data(), got.size()), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(wire(service_.server, 96 + msg.size()).substr(96), msg);
  }
}

// Headers a peer can send that cannot be followed: the host gets its bytes
// as they came, nothing waits without end, and the next good message is
// followed again.
TEST_F(TmaxOverrides, BadHeadersPassUnchanged) {
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"negative body length", message(kBig, 3, -5, 0)},
      {"body length beyond what a count holds", message(kBig, 3, 0x7fffffff, 0)},
      {"unknown kind", message(kBig, 77, 40, 40)},
      {"excluded kind with a body", message(kBig, 1, 30, 30)},
  };
  const std::string good = message(kBig, 3, 20, 20);
  ASSERT_EQ(tav::real::write(entry_.client, good.data(), good.size()), static_cast<ssize_t>(good.size()));
  ASSERT_EQ(read_message(entry_.server).size(), good.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(tav::real::write(entry_.client, c.bytes.data(), c.bytes.size()),
              static_cast<ssize_t>(c.bytes.size()));
    EXPECT_EQ(host_read(entry_.server, c.bytes.size()), c.bytes);
    EXPECT_EQ(m_->gtuid.gflag, 0);
    EXPECT_EQ(en_tmax_gtuid[entry_.server].rbyte, 0);
    ASSERT_EQ(tav::real::write(entry_.client, good.data(), good.size()), static_cast<ssize_t>(good.size()));
    const std::string again = read_message(entry_.server);
    EXPECT_EQ(int_at(again, 136), tav::tmax::kHandoffMarker) << "the next message is followed";
    // Its ticket is taken back by writing it on.
    ASSERT_EQ(::write(service_.client, again.data(), again.size()), static_cast<ssize_t>(again.size()));
    EXPECT_EQ(wire(service_.server, 96 + good.size()).substr(96), good);
  }
}

// A call of the library's own services: the connection is no longer
// tracked, and nothing of the message is left to a later connection that
// gets the same number.
TEST_F(TmaxOverrides, OwnServiceLeavesTheConnectionUntracked) {
  const std::string own = message(kBig, 3, 40, 40, "tavTMstat");
  ASSERT_EQ(tav::real::write(entry_.client, own.data(), own.size()), static_cast<ssize_t>(own.size()));
  char buf[256];
  ASSERT_EQ(::read(entry_.server, buf, sizeof buf), 136);
  EXPECT_EQ(en_mfd[entry_.server].info, 0);
  EXPECT_EQ(en_tmax_gtuid[entry_.server].rbyte, 0);
  EXPECT_EQ(m_->gtuid.gflag, 0);
  ASSERT_EQ(::read(entry_.server, buf, sizeof buf), 40);
  EXPECT_EQ(std::string(buf, 40), own.substr(136));
}

// A header cut short by the peer's end: the read returns what came and then
// the end; nothing is left waiting.
TEST_F(TmaxOverrides, HeaderCutByTheEndOfTheConnection) {
  const std::string good = message(kBig, 3, 20, 20);
  ASSERT_EQ(tav::real::write(entry_.client, good.data(), good.size()), static_cast<ssize_t>(good.size()));
  ASSERT_EQ(read_message(entry_.server).size(), good.size());
  ASSERT_EQ(tav::real::write(entry_.client, good.data(), 50), 50);
  shutdown(entry_.client, SHUT_WR);
  char buf[256];
  EXPECT_EQ(::read(entry_.server, buf, sizeof buf), 50);
  EXPECT_EQ(std::string(buf, 50), good.substr(0, 50));
  EXPECT_EQ(::read(entry_.server, buf, sizeof buf), 0);
}

// A write carrying the marker and an address the library did not hand out
// (bytes from the network, say) goes out as written; the address is never
// used, and the thread's transaction is not changed.
TEST_F(TmaxOverrides, ForgedTicketIsWrittenAsItIs) {
  for (uintptr_t address : {uintptr_t{0x10}, reinterpret_cast<uintptr_t>(this)}) {
    std::string msg = message(kBig, 3, 40, 40);
    const int32_t marker = tav::tmax::kHandoffMarker, zero = 0;
    memcpy(&msg[136], &marker, 4);
    memcpy(&msg[140], &zero, 4);
    memcpy(&msg[144], &address, 8);
    const std::string sent = msg;
    ASSERT_EQ(::write(service_.client, msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
    EXPECT_EQ(msg, sent);
    const std::string w = wire(service_.server, 96 + msg.size());
    EXPECT_EQ(w.substr(96), sent);
    const gtuid_t block = block_of(w);
    EXPECT_EQ(block.gflag, 0);
    EXPECT_EQ(m_->gtuid.gflag, 0);
  }
}

// Two handlers greet each other: the marker goes out in the greeting's last
// bytes (from a copy: the writer's buffer stays as it was), the reader takes
// the connection as a service connection and clears the greeting's last
// byte; the answer, which carries the first three marker bytes, makes the
// other end a service connection too.
TEST_F(TmaxOverrides, GreetingsMakeBothEndsServiceConnections) {
  TcpPair link;
  en_mfd[link.client].info = MFD_START | MFD_FIRSTREAD | MFD_INET | MFD_LOCAL;
  en_mfd[link.server].info = MFD_START | MFD_FIRSTREAD | MFD_INET | MFD_LOCAL;
  const std::string greeting = message(kBig, 0xCE, 0, 0);
  ASSERT_EQ(::write(link.client, greeting.data(), greeting.size()), 136);
  EXPECT_EQ(greeting, message(kBig, 0xCE, 0, 0)) << "the host's buffer is not written";

  char buf[512];
  ASSERT_EQ(::read(link.server, buf, sizeof buf), 136);
  EXPECT_NE(en_mfd[link.server].info & MFD_SERVICE, 0);
  EXPECT_EQ(memcmp(buf + 132, TAV_GTUID_INIT, 3), 0) << "the marker came";
  EXPECT_EQ(buf[135], 0) << "its last byte is cleared for the host";
  EXPECT_EQ(std::string(buf, 132), greeting.substr(0, 132));

  // The answer copies those bytes back.
  std::string answer = message(kBig, 0x4B6, 0, 0);
  memcpy(&answer[132], buf + 132, 4);
  ASSERT_EQ(tav::real::write(link.server, answer.data(), answer.size()), 136);
  ASSERT_EQ(::read(link.client, buf, sizeof buf), 136);
  EXPECT_NE(en_mfd[link.client].info & MFD_SERVICE, 0);
  EXPECT_EQ(std::string(buf, 136), answer);
}

// Reads that make a connection a service connection, by class and content.
TEST_F(TmaxOverrides, MonitoredPeersAreRecognised) {
  struct Case {
    const char* name;
    int cls;
    std::string bytes;
    bool service;
    int rsize;  // the rest of the message that comes without a block
  };
  std::string client_hello = message(kBig, 1, 30, 0);
  memcpy(&client_hello[80], TAV_GTUID_INIT, 4);
  std::string gw_hello = message(kShort, 0xCB, 0, 0);
  memcpy(&gw_hello[96 - 8], TAV_GTUID_INIT, 4);
  std::string unmarked_gw = message(kShort, 0xCB, 0, 0);
  std::string greeting_elsewhere = message(kBig, 0xCE, 0, 0);
  memcpy(&greeting_elsewhere[80], TAV_GTUID_INIT, 4);
  const Case cases[] = {
      {"client with the marker", TAV_TMAX_CLH, client_hello, true, 30},
      {"gateway greeting", TAV_TMAX_GW, gw_hello, true, 0},
      {"gateway greeting without the marker", TAV_TMAX_GW, unmarked_gw, false, 0},
      {"gateway greeting read by a handler", TAV_TMAX_CLH, gw_hello, false, 0},
      {"greeting with the marker at the wrong place", TAV_TMAX_CLH, greeting_elsewhere, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpPair link;
    en_mfd[link.server].info = MFD_START | MFD_FIRSTREAD | MFD_INET | MFD_LOCAL;
    tav_tmax_proc = c.cls;
    ASSERT_EQ(tav::real::write(link.client, c.bytes.data(), c.bytes.size()), static_cast<ssize_t>(c.bytes.size()));
    EXPECT_EQ(host_read(link.server, c.bytes.size()), c.bytes);
    EXPECT_EQ((en_mfd[link.server].info & MFD_SERVICE) != 0, c.service);
    EXPECT_EQ(en_mfd[link.server].rsize, c.rsize);
    tav_tmax_proc = TAV_TMAX_CLH;
  }
}

// An application server: what its reads and writes of whole messages on
// service connections do with the transaction.
class TmaxServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tav::prologue()) << "the library did not start";
    saved_ = {tav_tmax_proc, tav_gtuid_create_proc, en_gelist};
    tav_tmax_proc = TAV_TMAX_SERVER;
    m_ = tav_thrinfo();
    ASSERT_TRUE(tav::thread_usable(m_));
    m_->gtuid.gflag = 0;
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, local_), 0);
    for (int fd : local_) en_mfd[fd].info = MFD_SERVICE | MFD_UNIX | MFD_LOCAL | MFD_FIRSTREAD;
  }
  void TearDown() override {
    m_->gtuid.gflag = 0;
    if (en_gelist != saved_.list) tav_list_destroy(en_gelist);
    tav_tmax_proc = saved_.proc;
    tav_gtuid_create_proc = saved_.create;
    en_gelist = saved_.list;
    for (int fd : local_) ::close(fd);
  }
  // The block the write of `msg` put on the wire of `from`, read at `to`.
  gtuid_t written(int from, int to, const std::string& msg) {
    EXPECT_EQ(::write(from, msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
    const std::string w = wire(to, 96 + msg.size());
    EXPECT_EQ(w.substr(std::min<size_t>(96, w.size())), msg);
    return block_of(w);
  }

  int local_[2] = {-1, -1};
  TcpPair tcp_{true};
  mthr* m_ = nullptr;

 private:
  struct {
    int proc, create;
    tavlist_t* list;
  } saved_{};
};

// A server named to create transactions starts one for a one-way call it
// writes on a local socket; a call of another kind, or on a network
// connection, goes out without one.
TEST_F(TmaxServer, NamedServerStartsOneWayCallsOnLocalSockets) {
  struct Case {
    const char* name;
    int create;
    uint32_t kind;
    bool local;
    bool started;
  } cases[] = {
      {"one-way call on a local socket", 1, 4, true, true},
      {"server not named", 0, 4, true, false},
      {"other kind", 1, 3, true, false},
      {"network connection", 1, 4, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tav_gtuid_create_proc = c.create;
    m_->gtuid.gflag = 0;
    const int from = c.local ? local_[0] : tcp_.client, to = c.local ? local_[1] : tcp_.server;
    en_mfd[from].info &= ~MFD_HFORM;
    const gtuid_t b = written(from, to, message(kBig, c.kind, 20, 20));
    EXPECT_EQ(b.gflag, c.started ? 1 : 0);
    EXPECT_EQ(m_->gtuid.gflag, 0) << "a started transaction is handed on with the call";
  }
}

// A service on the server's exclusion list is called without the
// transaction, which stays with the thread; other services carry it.
TEST_F(TmaxServer, ExcludedServicesAreCalledWithoutTheTransaction) {
  en_gelist = tav_list_create();
  char* prefix = strdup("TOL");
  ASSERT_EQ(tav_list_add(en_gelist, 0, prefix, 3), 0);
  tav_gtuid_create(m_);
  memcpy(m_->gtuid.init, TAV_GTUID_INIT, 4);
  EXPECT_EQ(written(tcp_.client, tcp_.server, message(kBig, 3, 20, 20, "TOLQUERY")).gflag, 0);
  EXPECT_EQ(m_->gtuid.gflag, 1) << "the transaction stays";
  EXPECT_EQ(written(tcp_.client, tcp_.server, message(kBig, 3, 20, 20, "SVC1")).gflag, 1);
  EXPECT_EQ(m_->gtuid.gflag, 0) << "handed on with the call";
}

// A received transaction: a server named to create transactions ends it at
// once; a received message of a kind up to 1000 names the service in the
// thread's records.
TEST_F(TmaxServer, ReceivedTransactions) {
  struct Case {
    const char* name;
    int create;
    uint32_t kind;
    bool still_active;
    const char* service;  // as the records name it afterwards
  } cases[] = {
      {"plain server", 0, 3, true, "ACCOUNT01"},
      {"server named to create", 1, 3, false, "ACCOUNT01"},
      {"kind above 1000", 0, 1003, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tav_gtuid_create_proc = 0;
    tav_gtuid_create(m_);
    memcpy(m_->gtuid.init, TAV_GTUID_INIT, 4);
    memset(m_->mzp1.svname, 0, sizeof m_->mzp1.svname);
    const std::string msg = message(kBig, c.kind, 20, 20, "ACCOUNT01");
    ASSERT_EQ(::write(tcp_.client, msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
    ASSERT_EQ(m_->gtuid.gflag, 0);
    tav_gtuid_create_proc = c.create;
    char buf[512];
    ASSERT_EQ(::recv(tcp_.server, buf, sizeof buf, 0), static_cast<ssize_t>(msg.size()));
    EXPECT_EQ(std::string(buf, msg.size()), msg);
    EXPECT_EQ(m_->gtuid.gflag == 1, c.still_active);
    EXPECT_EQ(std::string(m_->mzp1.svname), c.service);
  }
}

}  // namespace
#endif
