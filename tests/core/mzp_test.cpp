// Monitoring messages: record layouts, the queue each message goes to, the
// bytes a queue reader receives, removed and full queues, half mode, the
// adapter list and the database call accounting.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/tav_globals.h"
#include "base/tav_list.h"
#include "base/tav_log.h"
#include "base/tav_mzp.h"
#include "core/tav_glist.h"
#include "core/tav_gtuid.h"
#include "core/tav_mzp_send.h"
#include "core/tav_tables.h"
#include "temp_dir.h"

namespace {

using qel::test::TempDir;

// Keys of this test process; each run of queues takes fresh low bytes.
key_t next_key(int count) {
  static int used = 0;
  const key_t base = static_cast<key_t>(0x5D000000 | ((getpid() & 0xffff) << 8) | (used & 0xff));
  used += count;
  return base;
}

// A run of queues with consecutive keys, created here and removed on every
// path out of the test.
class Queues {
 public:
  explicit Queues(int count) : key_(next_key(count)), ids_(static_cast<size_t>(count), -1) {
    for (int i = 0; i < count; ++i) create(i);
  }
  ~Queues() {
    for (int id : ids_)
      if (id != -1) msgctl(id, IPC_RMID, nullptr);
  }
  Queues(const Queues&) = delete;
  Queues& operator=(const Queues&) = delete;

  void create(int i) { ids_[static_cast<size_t>(i)] = msgget(key_ + i, IPC_CREAT | IPC_EXCL | 0600); }
  void remove(int i) {
    msgctl(ids_[static_cast<size_t>(i)], IPC_RMID, nullptr);
    ids_[static_cast<size_t>(i)] = -1;
  }
  key_t key() const { return key_; }
  int count() const { return static_cast<int>(ids_.size()); }
  int id(int i) const { return ids_[static_cast<size_t>(i)]; }
  // The probe's own copy of the ids, as start-up leaves it.
  int* probe_ids() {
    probe_ = ids_;
    return probe_.data();
  }
  int probe_id(int i) const { return probe_[static_cast<size_t>(i)]; }

  // The next message of queue `i` with its type, or nothing when it is empty.
  std::optional<std::vector<char>> take(int i) const {
    std::vector<char> buf(1024);
    const ssize_t n = msgrcv(id(i), buf.data(), buf.size() - sizeof(long), 0, IPC_NOWAIT);
    if (n < 0) return std::nullopt;
    buf.resize(sizeof(long) + static_cast<size_t>(n));
    return buf;
  }
  size_t waiting(int i) const {
    msqid_ds ds{};
    return msgctl(id(i), IPC_STAT, &ds) == 0 ? ds.msg_qnum : 0;
  }

 private:
  key_t key_;
  std::vector<int> ids_;
  std::vector<int> probe_;
};

std::string field(const std::vector<char>& msg, size_t off, size_t len) {
  return std::string(msg.data() + off, len);
}
std::string text(const std::vector<char>& msg, size_t off, size_t cap) {
  return std::string(msg.data() + off, strnlen(msg.data() + off, cap));
}
uint32_t be32_at(const std::vector<char>& msg, size_t off) {
  uint32_t v;
  memcpy(&v, msg.data() + off, 4);
  return ntohl(v);
}
long type_of(const std::vector<char>& msg) {
  long t;
  memcpy(&t, msg.data(), sizeof t);
  return t;
}
bool all_digits(const std::string& s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return !s.empty();
}
uint64_t wall_us() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

// The identifier digits used throughout: 22 digits, two per byte.
constexpr uint8_t kId[11] = {17, 0, 0, 0, 0, 12, 34, 56, 78, 90, 7};
constexpr char kIdText[] = "1700000000123456789007";

class Mzp : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Globals::take();
    en_mfd = fds_.data();
    en_fd_max = static_cast<int>(fds_.size());
    en_my_pid = getpid();
    snprintf(en_my_pname, sizeof en_my_pname, "%s", "appserver_one_long_name");
    snprintf(en_my_ip, sizeof en_my_ip, "%s", "10.9.8.7");
    en_my_scode = 'J';
    en_my_dcode = 'D';
    en_my_pcode = 22;
    en_mzp_qsend = 1;
    en_qel_full = 1;
    en_bmt_mode = 0;
    en_dbms_wait_gtuid = 0;
    en_log = 0;
    en_log_level = 0;
    en_gtuid_queue_count = en_tcode_queue_count = en_tcod6_queue_count = 0;
    en_gtuid_queue_id = en_tcode_queue_id = en_tcod6_queue_id = nullptr;

    m_->fildes = -1;
    m_->mzp1.type = getpid();  // filled once when the thread record is set up
    gtuid_t& g = m_->gtuid;
    g.gflag = 1;
    memcpy(g.gtuid, kId, sizeof kId);
    g.seq = 7;
    const uint8_t ip[4] = {10, 1, 2, 3};
    memcpy(g.ip, ip, 4);
    g.gpat = 0x01020304u;
    memcpy(g.trcode, "TRX001", 6);
    g.trblock = 'B';
    g.pck = 1234u;
    memcpy(m_->custinfo, "customer-42", 11);
    memcpy(m_->userinfo, "user-7", 6);
  }
  void TearDown() override { saved_.put(); }

  void use_gtuid(Queues& q) {
    en_gtuid_queue_key = q.key();
    en_gtuid_queue_count = q.count();
    en_gtuid_queue_id = q.probe_ids();
  }
  void use_tcode(Queues& q) {
    en_tcode_queue_key = q.key();
    en_tcode_queue_count = q.count();
    en_tcode_queue_id = q.probe_ids();
  }
  void use_tcod6(Queues& q) {
    en_tcod6_queue_key = q.key();
    en_tcod6_queue_count = q.count();
    en_tcod6_queue_id = q.probe_ids();
  }
  mfd& fd(int n) { return fds_[static_cast<size_t>(n)]; }
  void peer(int n, int info, const char* rip, int rport) {
    fd(n).info = info;
    snprintf(fd(n).rip, sizeof fd(n).rip, "%s", rip);
    fd(n).rport = rport;
  }
  uint32_t receive_pattern(uint16_t seq) const {
    char key[22];  // 21 hashed bytes and the NUL of the digits
    memcpy(key, en_my_pname, 16);
    snprintf(key + 16, 6, "%05u", seq);
    return tav_pattern_value(key, 21);
  }

  std::vector<mfd> fds_ = std::vector<mfd>(1024, mfd{});
  std::unique_ptr<mthr> m_ = std::make_unique<mthr>();

 private:
  // Every global the tests change, restored afterwards.
  struct Globals {
    mfd* mfd_ = nullptr;
    int fd_max = 0;
    pid_t pid = 0;
    char pname[sizeof en_my_pname] = {}, ip[sizeof en_my_ip] = {};
    char scode = 0, dcode = 0, pcode = 0;
    int qsend = 0, full = 0, bmt = 0, wait = 0, log = 0, level = 0;
    long size = 0;
    char file[sizeof en_log_file] = {}, path[sizeof en_log_path] = {};
    key_t keys[3] = {};
    int counts[3] = {};
    int* ids[3] = {};

    static Globals take() {
      Globals s;
      s.mfd_ = en_mfd, s.fd_max = en_fd_max, s.pid = en_my_pid;
      memcpy(s.pname, en_my_pname, sizeof s.pname);
      memcpy(s.ip, en_my_ip, sizeof s.ip);
      s.scode = en_my_scode, s.dcode = en_my_dcode, s.pcode = en_my_pcode;
      s.qsend = en_mzp_qsend, s.full = en_qel_full, s.bmt = en_bmt_mode;
      s.wait = en_dbms_wait_gtuid, s.log = en_log, s.level = en_log_level, s.size = en_log_size;
      memcpy(s.file, en_log_file, sizeof s.file);
      memcpy(s.path, en_log_path, sizeof s.path);
      s.keys[0] = en_gtuid_queue_key, s.keys[1] = en_tcode_queue_key, s.keys[2] = en_tcod6_queue_key;
      s.counts[0] = en_gtuid_queue_count, s.counts[1] = en_tcode_queue_count;
      s.counts[2] = en_tcod6_queue_count;
      s.ids[0] = en_gtuid_queue_id, s.ids[1] = en_tcode_queue_id, s.ids[2] = en_tcod6_queue_id;
      return s;
    }
    void put() const {
      en_mfd = mfd_, en_fd_max = fd_max, en_my_pid = pid;
      memcpy(en_my_pname, pname, sizeof pname);
      memcpy(en_my_ip, ip, sizeof ip);
      en_my_scode = scode, en_my_dcode = dcode, en_my_pcode = pcode;
      en_mzp_qsend = qsend, en_qel_full = full, en_bmt_mode = bmt;
      en_dbms_wait_gtuid = wait, en_log = log, en_log_level = level, en_log_size = size;
      memcpy(en_log_file, file, sizeof file);
      memcpy(en_log_path, path, sizeof path);
      en_gtuid_queue_key = keys[0], en_tcode_queue_key = keys[1], en_tcod6_queue_key = keys[2];
      en_gtuid_queue_count = counts[0], en_tcode_queue_count = counts[1];
      en_tcod6_queue_count = counts[2];
      en_gtuid_queue_id = ids[0], en_tcode_queue_id = ids[1], en_tcod6_queue_id = ids[2];
    }
  };
  Globals saved_;
};

}  // namespace

TEST(MzpRecords, FieldsSitWhereTheReaderExpectsThem) {
  struct {
    const char* field;
    size_t at, want;
  } cases[] = {
      {"mzp2.gtuid", offsetof(mzp2, gtuid), 8},       {"mzp2.trcode", offsetof(mzp2, trcode), 31},
      {"mzp2.seq", offsetof(mzp2, seq), 64},          {"mzp2.dtime", offsetof(mzp2, dtime), 70},
      {"mzp2.ipaddr", offsetof(mzp2, ipaddr), 91},    {"mzp2.blocking", offsetof(mzp2, blocking), 107},
      {"mzp2.dummy", offsetof(mzp2, dummy), 109},     {"mzp2", sizeof(mzp2), 112},
      {"mzp4.custinfo", offsetof(mzp4, custinfo), 109}, {"mzp4.userinfo", offsetof(mzp4, userinfo), 142},
      {"mzp4.dummy", offsetof(mzp4, dummy), 175},     {"mzp4", sizeof(mzp4), 176},
      {"mzp6.custinfo", offsetof(mzp6, custinfo), 109}, {"mzp6.userinfo", offsetof(mzp6, userinfo), 142},
      {"mzp6.trcd_url", offsetof(mzp6, trcd_url), 175}, {"mzp6", sizeof(mzp6), 304},
  };
  for (const auto& c : cases) EXPECT_EQ(c.at, c.want) << c.field;
}

TEST_F(Mzp, TypeOneMessagesRotateOverTheGtuidQueues) {
  Queues q(3);
  use_gtuid(q);
  const int want[] = {1, 2, 0, 1, 2};
  for (int w : want) {
    tav_mzp1_send(m_.get());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(q.take(i).has_value(), i == w) << "queue " << i;
  }
}

TEST_F(Mzp, TransactionCodeTypesShareOneIndex) {
  Queues tcode(4), tcod6(1);
  use_tcode(tcode);
  use_tcod6(tcod6);
  for (int w : {1, 2, 3}) {
    tav_mzp2_send(m_.get());
    EXPECT_TRUE(tcode.take(w).has_value()) << w;
  }
  tav_mzp6_send(m_.get(), "/x", 2);  // index 4 is past the single tcod6 queue
  EXPECT_TRUE(tcod6.take(0).has_value());
  tav_mzp4_send(m_.get());  // the shared index went back to 0
  EXPECT_TRUE(tcode.take(1).has_value());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(tcode.waiting(i), 0u) << i;
}

TEST_F(Mzp, TransactionCodeMessagesCarryTheIdentifier) {
  Queues tcode(1), tcod6(1);
  use_tcode(tcode);
  use_tcod6(tcod6);
  tav_mzp2_send(m_.get());
  tav_mzp4_send(m_.get());
  tav_mzp6_send(m_.get(), "/shop/cart?id=9", 15);
  const auto m2 = tcode.take(0), m4 = tcode.take(0), m6 = tcod6.take(0);
  ASSERT_TRUE(m2 && m4 && m6);
  ASSERT_EQ(m2->size(), 112u);
  ASSERT_EQ(m4->size(), 176u);
  ASSERT_EQ(m6->size(), 304u);
  for (const auto* msg : {&*m2, &*m4, &*m6}) {
    SCOPED_TRACE(msg->size());
    EXPECT_EQ(type_of(*msg), getpid());
    EXPECT_EQ(field(*msg, 8, 23), std::string(kIdText, 23));
    EXPECT_EQ(field(*msg, 31, 33), std::string("TRX001") + std::string(27, '\0'));
    EXPECT_EQ(field(*msg, 64, 6), std::string("00007", 6));
    EXPECT_TRUE(all_digits(field(*msg, 70, 20)));
    EXPECT_EQ((*msg)[90], 0);
    EXPECT_EQ(field(*msg, 91, 16), std::string("10.1.2.3") + std::string(8, '\0'));
    EXPECT_EQ(field(*msg, 107, 2), std::string("B", 2));
  }
  EXPECT_EQ(field(*m2, 109, 3), std::string(3, '\0'));
  for (const auto* msg : {&*m4, &*m6}) {
    EXPECT_EQ(field(*msg, 109, 33), std::string("customer-42") + std::string(22, '\0'));
    EXPECT_EQ(field(*msg, 142, 33), std::string("user-7") + std::string(27, '\0'));
  }
  EXPECT_EQ((*m4)[175], 0);
  EXPECT_EQ(field(*m6, 175, 129), std::string("/shop/cart?id=9") + std::string(114, '\0'));
}

TEST_F(Mzp, UrlIsCutAt128Bytes) {
  Queues tcod6(1);
  use_tcod6(tcod6);
  std::string url(200, 'u');
  for (size_t i = 0; i < url.size(); ++i) url[i] = static_cast<char>('a' + i % 26);
  struct {
    const char* data;
    int len;
    std::string want;
  } cases[] = {
      {url.c_str(), 200, url.substr(0, 128)},
      {url.c_str(), 128, url.substr(0, 128)},
      {url.c_str(), 5, url.substr(0, 5)},
      {url.c_str(), -1, ""},
      {nullptr, 10, ""},
  };
  for (const auto& c : cases) {
    tav_mzp6_send(m_.get(), c.data, c.len);
    const auto msg = tcod6.take(0);
    ASSERT_TRUE(msg) << c.len;
    EXPECT_EQ(field(*msg, 175, 129), c.want + std::string(129 - c.want.size(), '\0')) << c.len;
  }
}

TEST_F(Mzp, TypeOneEventsFillTheRecord) {
  Queues q(1);
  use_gtuid(q);
  peer(5, MFD_INET | MFD_REMOTE, "192.168.0.9", 8080);
  m_->fildes = 5;

  // Service start on receipt: start stamp, receive-side pattern.
  const uint64_t before = wall_us();
  tav_mzp1_proc(m_.get(), TAV_MZP_RS);
  const uint64_t after = wall_us();
  const uint32_t pat = 0x01020304u ^ receive_pattern(7);
  EXPECT_EQ(m_->gtuid.gpat.get(), pat);
  EXPECT_GE(m_->gtuid.stime.get(), before);
  EXPECT_LE(m_->gtuid.stime.get(), after);
  EXPECT_EQ(m_->gtuid.ctime.get(), m_->gtuid.stime.get() % (uint64_t{1} << 31));

  auto msg = q.take(0);
  ASSERT_TRUE(msg);
  ASSERT_EQ(msg->size(), 296u);
  EXPECT_EQ(field(*msg, 8, 23), std::string(kIdText, 23));
  EXPECT_EQ(field(*msg, 31, 6), std::string("00007", 6));
  EXPECT_TRUE(all_digits(field(*msg, 59, 20)));
  EXPECT_EQ((*msg)[79], 0);
  EXPECT_EQ((*msg)[80], 'S');
  EXPECT_EQ((*msg)[82], 'R');
  EXPECT_EQ(field(*msg, 84, 33), std::string("TRX001") + std::string(27, '\0'));
  EXPECT_EQ((*msg)[249], 'J');
  EXPECT_EQ(field(*msg, 251, 3), std::string("22", 3));
  EXPECT_EQ((*msg)[254], 'S');
  EXPECT_EQ(text(*msg, 256, 16), "192.168.0.9");
  EXPECT_EQ(be32_at(*msg, 272), 8080u);
  EXPECT_EQ(be32_at(*msg, 276), 1234u);
  EXPECT_EQ(be32_at(*msg, 280), 0u);
  EXPECT_EQ(be32_at(*msg, 284), 0u);
  EXPECT_EQ(be32_at(*msg, 288), pat);

  // Service end five seconds after the start: running time in rtime.
  const uint64_t start = wall_us() - 5000000;
  m_->gtuid.stime = start;
  m_->gtuid.ctime = static_cast<uint32_t>(start % (uint64_t{1} << 31));
  m_->gtuid.seq = 8;
  tav_mzp1_proc(m_.get(), TAV_MZP_SE);
  msg = q.take(0);
  ASSERT_TRUE(msg);
  EXPECT_EQ((*msg)[80], 'E');
  EXPECT_EQ((*msg)[82], 'S');
  EXPECT_EQ(field(*msg, 31, 6), std::string("00008", 6));
  EXPECT_EQ(be32_at(*msg, 288), pat);  // send side leaves the pattern alone
  EXPECT_GE(be32_at(*msg, 284), 5000000u);
  EXPECT_LT(be32_at(*msg, 284), 6000000u);
  EXPECT_GE(be32_at(*msg, 280), 5000000u);
  EXPECT_LT(be32_at(*msg, 280), 6000000u);
}

TEST_F(Mzp, DescriptorKindAndAddress) {
  // No queues: the record is still completed in the thread record.
  struct {
    int info;
    const char* rip;
    int code;
    char iotype;
    const char* ipaddr;
    uint32_t port;
  } cases[] = {
      {MFD_INET, "192.168.0.9", TAV_MZP_SC, 'S', "192.168.0.9", 7001},
      {MFD_INET6, "fe80::1", TAV_MZP_SE, 'S', "fe80::1", 7001},
      {MFD_UNIX, "sock", TAV_MZP_SC, 'U', "sock", 7001},
      {0x80000, "", TAV_MZP_SC, 'X', "NONE", 7001},
      {0x800000, "", TAV_MZP_SC, 'F', "NONE", 7001},
      {0, "", TAV_MZP_SC, 'N', "NONE", 7001},
      {MFD_INET, "", TAV_MZP_RS, 'S', "NONE", 7001},
      {0, "", TAV_MZP_RS, 'S', "10.1.2.3", 0},  // a start without socket: origin address
      {MFD_UNIX, "sock", TAV_MZP_RS, 'U', "sock", 7001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.info << " " << c.code);
    peer(3, c.info, c.rip, 7001);
    m_->fildes = 3;
    memset(m_->mzp1.ipaddr, 'z', sizeof m_->mzp1.ipaddr);
    tav_mzp1_proc(m_.get(), c.code);
    EXPECT_EQ(m_->mzp1.iotype[0], c.iotype);
    EXPECT_EQ(std::string(m_->mzp1.ipaddr, sizeof m_->mzp1.ipaddr),
              c.ipaddr + std::string(16 - strlen(c.ipaddr), '\0'));
    EXPECT_EQ(m_->mzp1.port.get(), c.port);
  }
  // A descriptor number outside the table counts as none.
  m_->fildes = 99999;
  tav_mzp1_proc(m_.get(), TAV_MZP_SC);
  EXPECT_EQ(m_->mzp1.iotype[0], 'N');
  EXPECT_STREQ(m_->mzp1.ipaddr, "NONE");
}

#if TAV_WITH_JAVA
TEST_F(Mzp, QueueNameAndErrorCode) {
  peer(3, MFD_INET, "192.168.0.9", 7001);
  m_->fildes = 3;
  memcpy(m_->mqname, "ORDERS.QUEUE.LONGNAME", 16);  // all 16 bytes used
  m_->errflag = 1;
  memcpy(m_->errcode, "E042xxxx", 8);
  tav_mzp1_proc(m_.get(), TAV_MZP_SC);
  EXPECT_EQ(m_->mzp1.iotype[0], 'Q');
  EXPECT_EQ(std::string(m_->mzp1.ipaddr, 16), std::string("ORDERS.QUEUE.LO") + '\0');
  EXPECT_EQ(m_->mzp1.port.get(), 0u);
  EXPECT_EQ(m_->mqname[0], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m_->mzp1.filler), 4), "E042");

  // The name is used once; the error code stays until the flag changes.
  m_->errflag = 0;
  memcpy(m_->errcode, "E999", 4);
  tav_mzp1_proc(m_.get(), TAV_MZP_SC);
  EXPECT_EQ(m_->mzp1.iotype[0], 'S');
  EXPECT_STREQ(m_->mzp1.ipaddr, "192.168.0.9");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m_->mzp1.filler), 4), "E042");
}
#endif

TEST_F(Mzp, HalfModeSendsNoReceiveSideEvents) {
  Queues q(1);
  use_gtuid(q);
  struct {
    int full, code;
    size_t sent;
    bool pattern_changes;
  } cases[] = {
      {0, TAV_MZP_RC, 0, true}, {0, TAV_MZP_RS, 0, true}, {0, TAV_MZP_SC, 1, false},
      {1, TAV_MZP_RC, 1, true}, {1, TAV_MZP_RS, 1, true}, {1, TAV_MZP_SE, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.full << " " << std::hex << c.code);
    en_qel_full = c.full;
    m_->gtuid.gpat = 0x0a0b0c0du;
    tav_mzp1_proc(m_.get(), c.code);
    EXPECT_EQ(m_->gtuid.gpat.get(),
              c.pattern_changes ? 0x0a0b0c0du ^ receive_pattern(7) : 0x0a0b0c0du);
    EXPECT_EQ(q.waiting(0), c.sent);
    while (q.take(0)) {
    }
  }
}

TEST_F(Mzp, RemovedQueueIsLoggedOnceAndReopened) {
  TempDir dir;
  snprintf(en_log_file, sizeof en_log_file, "%s", dir.file("TavQEL.LOG").c_str());
  snprintf(en_log_path, sizeof en_log_path, "%s", dir.path().c_str());
  en_log_size = 10485760L;
  en_log = 1;

  Queues q(1);
  use_gtuid(q);
  const int old_id = q.id(0);
  q.remove(0);
  errno = 1234;
  tav_mzp1_send(m_.get());
  EXPECT_EQ(errno, 1234);
  EXPECT_EQ(q.probe_id(0), -1);
  tav_mzp1_send(m_.get());  // not there yet: dropped without a line

  const std::string log = TempDir::read(en_log_file);
  char want[96];
  snprintf(want, sizeof want, "mzp1(0x%08x, %d) send error. (%d:%s)\n",
           static_cast<unsigned>(q.key()), old_id, EINVAL, strerror(EINVAL));
  const size_t at = log.find(want);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find("send error", at + strlen(want)), std::string::npos) << log;

  q.create(0);
  ASSERT_NE(q.id(0), -1);
  tav_mzp1_send(m_.get());
  EXPECT_EQ(q.probe_id(0), q.id(0));
  EXPECT_TRUE(q.take(0).has_value());
}

TEST_F(Mzp, TransactionCodeSendsReportARemovedQueue) {
  TempDir dir;
  snprintf(en_log_file, sizeof en_log_file, "%s", dir.file("TavQEL.LOG").c_str());
  snprintf(en_log_path, sizeof en_log_path, "%s", dir.path().c_str());
  en_log_size = 10485760L;
  en_log = 1;
  Queues tcode(1), tcod6(1);
  use_tcode(tcode);
  use_tcod6(tcod6);
  const int id2 = tcode.id(0), id6 = tcod6.id(0);
  tcode.remove(0);
  tcod6.remove(0);
  tav_mzp4_send(m_.get());
  tav_mzp6_send(m_.get(), "/", 1);
  EXPECT_EQ(tcode.probe_id(0), -1);
  EXPECT_EQ(tcod6.probe_id(0), -1);
  const std::string log = TempDir::read(en_log_file);
  char want4[96], want6[96];
  snprintf(want4, sizeof want4, "mzp4(0x%08x, %d) send error. (%d:", static_cast<unsigned>(tcode.key()),
           id2, EINVAL);
  snprintf(want6, sizeof want6, "mzp6(0x%08x, %d) send error. (%d:", static_cast<unsigned>(tcod6.key()),
           id6, EINVAL);
  EXPECT_NE(log.find(want4), std::string::npos) << log;
  EXPECT_NE(log.find(want6), std::string::npos) << log;
}

TEST_F(Mzp, FullQueueDropsWithoutWaiting) {
  Queues q(1);
  use_gtuid(q);
  const auto t0 = std::chrono::steady_clock::now();
  errno = 0;
  for (int i = 0; i < 200; ++i) tav_mzp1_send(m_.get());
  EXPECT_EQ(errno, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  const size_t held = q.waiting(0);
  EXPECT_GT(held, 0u);
  EXPECT_LT(held, 200u);
  EXPECT_EQ(q.probe_id(0), q.id(0));  // a full queue is not reopened
  // Room again: the next message goes through.
  while (q.take(0)) {
  }
  tav_mzp1_send(m_.get());
  EXPECT_EQ(q.waiting(0), 1u);
}

TEST_F(Mzp, OutsideQueueMode) {
  Queues gq(1), tq(1), t6(1);
  use_gtuid(gq);
  use_tcode(tq);
  use_tcod6(t6);
  en_mzp_qsend = 0;
  tav_mzp2_send(m_.get());
  tav_mzp4_send(m_.get());
  tav_mzp6_send(m_.get(), "/a", 2);
  EXPECT_EQ(tq.waiting(0), 0u);
  EXPECT_EQ(t6.waiting(0), 0u);
  EXPECT_EQ(m_->tqsi, 0);

  // A family without queues drops the message in queue mode too.
  en_mzp_qsend = 1;
  en_tcode_queue_count = 0;
  en_tcode_queue_id = nullptr;
  tav_mzp2_send(m_.get());
  tav_mzp4_send(m_.get());

  en_mzp_qsend = 0;
  tav_mzp1_proc(m_.get(), TAV_MZP_SC);
#if TAV_WITH_JAVA
  // The adapter's sender thread takes type-1 messages off the thread's list.
  EXPECT_EQ(gq.waiting(0), 0u);
  m_->glist = tav_list_create();
  ASSERT_NE(m_->glist, nullptr);
  tav_mzp1_proc(m_.get(), TAV_MZP_SE);
  EXPECT_EQ(gq.waiting(0), 0u);
  tavlist* node = tav::glist_take(m_->glist);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->type, 'G');
  ASSERT_EQ(node->size, 288);
  EXPECT_EQ(memcmp(node->data, m_->mzp1.gtuid, 288), 0);
  EXPECT_EQ(static_cast<char*>(node->data)[72], 'E');
  tav_list_free(node);
  EXPECT_EQ(tav::glist_take(m_->glist), nullptr);
  EXPECT_EQ(tav::glist_waiting(), 0);

  // Without a sender draining it, the list keeps only the newest records.
  constexpr int kSent = tav::kGlistThreadMax + 904;
  for (int i = 0; i < kSent; ++i) {
    tav_mzp1_send(m_.get());
    if (i == kSent - tav::kGlistThreadMax - 1) memcpy(m_->mzp1.seq, "xxxxx", 5);
  }
  EXPECT_EQ(m_->glist->count, tav::kGlistThreadMax);
  EXPECT_EQ(tav::glist_waiting(), tav::kGlistThreadMax);
  node = tav::glist_take(m_->glist);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(memcmp(static_cast<char*>(node->data) + offsetof(mzp1_t, seq) - sizeof(long),
                   "xxxxx", 5), 0)
      << "the oldest records were dropped";
  tav_list_free(node);
  while (tavlist* rest = tav::glist_take(m_->glist)) tav_list_free(rest);
  EXPECT_EQ(tav::glist_waiting(), 0);
  tav_list_destroy(m_->glist);
  m_->glist = nullptr;
#else
  // These servers always report through the queues.
  EXPECT_EQ(gq.waiting(0), 1u);
#endif
}

// Database call accounting.

class MzpDbms : public Mzp {
 protected:
  void SetUp() override {
    Mzp::SetUp();
    q_ = std::make_unique<Queues>(1);
    use_gtuid(*q_);
    sock_ = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock_, 0);
    ASSERT_LT(sock_, static_cast<int>(fds_.size()));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &len), 0);
    local_port_ = ntohs(a.sin_port);
    m_->fildes = sock_;
    const uint64_t now = wall_us();
    m_->gtuid.stime = now;
    m_->gtuid.ctime = static_cast<uint32_t>(now % (uint64_t{1} << 31));
  }
  void TearDown() override {
    if (sock_ >= 0) close(sock_);
    q_.reset();
    Mzp::TearDown();
  }
  std::vector<std::vector<char>> drain() {
    std::vector<std::vector<char>> out;
    while (auto msg = q_->take(0)) out.push_back(*msg);
    return out;
  }

  std::unique_ptr<Queues> q_;
  int sock_ = -1;
  unsigned local_port_ = 0;
};

TEST_F(MzpDbms, FirstWriteReportsCallAndDatabaseSide) {
  peer(sock_, MFD_ORACLE | MFD_INET | MFD_REMOTE, "10.0.0.50", 1521);
  tav_mzp1_dbms_send(m_.get());
  const auto msgs = drain();
  ASSERT_EQ(msgs.size(), 2u);
  // The call leaves this process ...
  EXPECT_EQ(field(msgs[0], 31, 6), std::string("00008", 6));
  EXPECT_EQ(msgs[0][80], 'C');
  EXPECT_EQ(msgs[0][82], 'S');
  EXPECT_EQ(msgs[0][249], 'J');
  EXPECT_EQ(field(msgs[0], 251, 3), std::string("22", 3));
  EXPECT_EQ(text(msgs[0], 256, 16), "10.0.0.50");
  EXPECT_EQ(be32_at(msgs[0], 272), 1521u);
  // ... and arrives at the database, seen from our side of the connection.
  EXPECT_EQ(field(msgs[1], 31, 6), std::string("00009", 6));
  EXPECT_EQ(msgs[1][80], 'C');
  EXPECT_EQ(msgs[1][82], 'R');
  EXPECT_EQ(msgs[1][249], 'D');
  EXPECT_EQ(field(msgs[1], 251, 3), std::string("41", 3));
  EXPECT_EQ(text(msgs[1], 256, 16), "10.9.8.7");
  EXPECT_EQ(be32_at(msgs[1], 272), local_port_);
  EXPECT_EQ(be32_at(msgs[1], 280), 0u);
  EXPECT_EQ(m_->dbmsf, ')');
  EXPECT_EQ(m_->ofildes, sock_);
  EXPECT_EQ(m_->gtuid.seq.get(), 9);
}

TEST_F(MzpDbms, DatabaseClassAndServerCode) {
  struct {
    int info, scode, pcode;
    char cls, scode_char;
    const char* pcode_text;
  } cases[] = {
      {MFD_ORACLE, 0, 0, ')', 'D', "41"},   {MFD_ORACLE_MS, 0, 0, ')', 'D', "41"},
      {MFD_SYBASE, 0, 0, '+', 'D', "43"},   {MFD_DB2, 0, 0, '*', 'D', "42"},
      {MFD_UDB, 0, 0, ',', 'D', "44"},      {MFD_ALTIBASE, 0, 0, '-', 'D', "45"},
      {MFD_SERVER_INFO, 0, 0, '(', 'D', "40"},
      {MFD_ORACLE | MFD_SYBASE, 0, 0, ')', 'D', "41"},
      {MFD_SERVER_INFO, 3, 17, '(', '3', "17"},  // the server code wins
      {MFD_SYBASE, 5, 9, '(', '5', "09"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.info << " " << c.scode);
    peer(sock_, c.info | MFD_INET, "10.0.0.50", 1521);
    fd(sock_).scode = c.scode;
    fd(sock_).pcode = c.pcode;
    tav_mzp1_dbms_send(m_.get());
    const auto msgs = drain();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(m_->dbmsf, c.cls);
    EXPECT_EQ(msgs[1][249], c.scode_char);
    EXPECT_EQ(field(msgs[1], 251, 3), std::string(c.pcode_text, 3));
  }
}

TEST_F(MzpDbms, HalfModeReportsOnlyTheCallOut) {
  en_qel_full = 0;
  peer(sock_, MFD_DB2 | MFD_INET, "10.0.0.50", 50000);
  tav_mzp1_dbms_send(m_.get());
  const auto msgs = drain();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(field(msgs[0], 31, 6), std::string("00007", 6));
  EXPECT_EQ(msgs[0][80], 'C');
  EXPECT_EQ(msgs[0][82], 'S');
  EXPECT_EQ(m_->dbmsf, '*');
  EXPECT_EQ(m_->ofildes, sock_);
}

TEST_F(MzpDbms, ReadsAndWritesAccumulateTimes) {
  const uint64_t now = wall_us();
  m_->gtuid.ctime = static_cast<uint32_t>((now - 3000) % (uint64_t{1} << 31));
  m_->dbmsetime = 100;
  m_->dbms_ltime = 5;
  errno = 77;
  tav_mzp1_dbms_conti_recv(m_.get());
  EXPECT_EQ(errno, 77);
  EXPECT_GE(m_->dbmsetime, 3100);
  EXPECT_LT(m_->dbmsetime, 1000000);
  EXPECT_EQ(m_->dbms_ltime, 0);
  const uint64_t tv = static_cast<uint64_t>(m_->tv.tv_sec) * 1000000u + m_->tv.tv_usec;
  EXPECT_GE(tv, now);
  EXPECT_EQ(m_->gtuid.ctime.get(), tv % (uint64_t{1} << 31));

  m_->gtuid.ctime = static_cast<uint32_t>((wall_us() - 2000) % (uint64_t{1} << 31));
  m_->dbmsptime = 10;
  tav_mzp1_dbms_conti_send(m_.get());
  EXPECT_GE(m_->dbmsptime, 2010);
  EXPECT_LT(m_->dbmsptime, 1000000);
  EXPECT_GE(static_cast<uint64_t>(m_->dbms_ltime), now);
  EXPECT_EQ(m_->gtuid.ctime.get(), static_cast<uint64_t>(m_->dbms_ltime) % (uint64_t{1} << 31));

  // A stamp ahead of ours: the smaller distance counts, not a wrap.
  m_->gtuid.ctime = static_cast<uint32_t>((wall_us() + 4000) % (uint64_t{1} << 31));
  m_->dbmsetime = 0;
  tav_mzp1_dbms_conti_recv(m_.get());
  EXPECT_GT(m_->dbmsetime, 0);
  EXPECT_LE(m_->dbmsetime, 4000);
  EXPECT_EQ(drain().size(), 0u);
}

TEST_F(MzpDbms, EndOfExchangeReportsTheDatabaseTime) {
  struct {
    int wait;
    long ltime;
    int full;
    std::vector<std::string> events;  // start letter, direction, sequence
  } cases[] = {
      {0, 0, 1, {"CS00008", "CR00009"}},
      {1, 0, 1, {"CS00008", "CR00009"}},
      {0, 1, 1, {"CS00008", "CR00009"}},
      {1, 1, 1, {"CS00008", "WS00009", "CR00010"}},
      {1, 1, 0, {"CS00008", "WS00009"}},
      {0, 0, 0, {"CS00008"}},
  };
  peer(4, MFD_ORACLE | MFD_INET, "10.0.0.50", 1521);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.wait << c.ltime << c.full);
    en_dbms_wait_gtuid = c.wait;
    en_qel_full = c.full;
    m_->gtuid.seq = 7;
    m_->dbmsetime = 1000;
    m_->dbmsstime = 500;
    m_->dbms_ltime = c.ltime ? static_cast<long>(wall_us() - 2000) : 0;
    m_->ofildes = 4;
    m_->dbmsf = ')';
    m_->mzp1.scode[0] = 'D';
    memcpy(m_->mzp1.pcode, "41", 3);
    memcpy(m_->mzp1.ipaddr, "10.9.8.7", 9);
    tav_mzp1_dbms_recv(m_.get());
    const auto msgs = drain();
    ASSERT_EQ(msgs.size(), c.events.size());
    for (size_t i = 0; i < msgs.size(); ++i) {
      const std::string got = std::string(1, msgs[i][80]) + msgs[i][82] + text(msgs[i], 31, 6);
      EXPECT_EQ(got, c.events[i]) << i;
    }
    EXPECT_TRUE(all_digits(field(msgs[0], 59, 20)));
    EXPECT_EQ(be32_at(msgs[0], 280), 1000u);
    EXPECT_EQ(be32_at(msgs[0], 284), 1500u);
    EXPECT_EQ(msgs[0][249], 'D');  // still the database side
    if (c.full) {
      const auto& back = msgs.back();
      EXPECT_EQ(back[249], 'J');
      EXPECT_EQ(field(back, 251, 3), std::string("22", 3));
      EXPECT_EQ(be32_at(back, 280), 0u);
      EXPECT_EQ(text(back, 256, 16), "10.0.0.50");
      EXPECT_EQ(be32_at(back, 272), 1521u);
    }
    EXPECT_EQ(m_->gtuid.seq.get(), c.wait && c.ltime ? 10 : 9);
    EXPECT_EQ(m_->dbms_ltime, 0);
    EXPECT_EQ(m_->ofildes, 0);
    EXPECT_EQ(m_->dbmsf, 0);
  }
}

// The adapter's twins: address, codes and service name given by the caller.

TEST_F(Mzp, Proc2NamesTheServiceOrNone) {
  Queues q(1);
  use_gtuid(q);
  struct {
    int code;
    const char* name;
    int size;
    char iotype;
    std::string addr;
  } cases[] = {
      {TAV_MZP_SC, "svc.example", 4096, 'S', "svc.example"},
      {TAV_MZP_SC, "a-service-name-longer-than-15", 1, 'S', "a-service-name-"},
      {TAV_MZP_SE, nullptr, 0, 'N', "NONE"},
      {TAV_MZP_RC, nullptr, 7, 'N', "NONE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.addr);
    memset(m_->mzp1.ipaddr, 'x', sizeof m_->mzp1.ipaddr);
    tav_mzp1_proc2(m_.get(), c.code, c.name, c.size);
    const auto msg = q.take(0);
    ASSERT_TRUE(msg);
    EXPECT_EQ((*msg)[80], static_cast<char>(c.code & 0xff));
    EXPECT_EQ((*msg)[82], static_cast<char>(c.code >> 8));
    EXPECT_EQ((*msg)[254], c.iotype);
    EXPECT_EQ(field(*msg, 256, 16), c.addr + std::string(16 - c.addr.size(), '\0'));
    EXPECT_EQ(be32_at(*msg, 272), static_cast<uint32_t>(c.size));
    EXPECT_EQ(field(*msg, 8, 23), std::string(kIdText, 23));
    EXPECT_EQ(field(*msg, 84, 33), std::string("TRX001") + std::string(27, '\0'));
    EXPECT_EQ((*msg)[249], 'J');
    EXPECT_EQ(field(*msg, 251, 3), std::string("22", 3));
  }
}

TEST_F(Mzp, Proc2StartInHalfModeStampsButSendsNothing) {
  Queues q(1);
  use_gtuid(q);
  en_qel_full = 0;
  m_->mzp1.etime = 5u;
  m_->mzp1.rtime = 6u;
  const uint64_t before = wall_us();
  tav_mzp1_proc2(m_.get(), TAV_MZP_RS, nullptr, 0);
  EXPECT_GE(m_->gtuid.stime.get(), before);
  EXPECT_EQ(m_->gtuid.ctime.get(), m_->gtuid.stime.get() % (uint64_t{1} << 31));
  EXPECT_EQ(m_->gtuid.gpat.get(), 0x01020304u ^ receive_pattern(7));
  EXPECT_EQ(m_->mzp1.etime.get(), 0u);
  EXPECT_EQ(m_->mzp1.rtime.get(), 0u);
  EXPECT_EQ(q.waiting(0), 0u);
  // The end goes out in half mode too.
  tav_mzp1_proc2(m_.get(), TAV_MZP_SE, nullptr, 0);
  EXPECT_EQ(q.waiting(0), 1u);
}

TEST_F(Mzp, DatabaseCallOfTheAdapterNamesItsSide) {
  Queues q(1);
  use_gtuid(q);
  peer(6, MFD_SYBASE | MFD_INET, "10.0.0.77", 4100);
  struct {
    int scode, pcode;
    char scode_char;
    const char* pcode_text;
    char cls;
  } cases[] = {
      {3, 17, '3', "17", '('},  // codes of an adapter entry
      {0, 0, 'D', "43", '+'},   // else the descriptor's database kind
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scode);
    m_->fildes = 6;
    m_->dbmsf = 0;
    m_->gtuid.seq = 7;
    tav_mzp1_dbms_send2(m_.get(), "192.168.77.123456", 1521, c.scode, c.pcode);
    const auto out = q.take(0), side = q.take(0);
    ASSERT_TRUE(out && side);
    EXPECT_EQ(std::string(1, (*out)[80]) + (*out)[82] + text(*out, 31, 6), "CS00008");
    EXPECT_EQ(std::string(1, (*side)[80]) + (*side)[82] + text(*side, 31, 6), "CR00009");
    EXPECT_EQ((*side)[249], c.scode_char);
    EXPECT_EQ(field(*side, 251, 3), std::string(c.pcode_text, 3));
    EXPECT_EQ(text(*side, 256, 16), "192.168.77.1234");  // cut to 15
    EXPECT_EQ(be32_at(*side, 272), 1521u);
    EXPECT_EQ(m_->dbmsf, c.cls);
    EXPECT_EQ(m_->ofildes, 6);
  }

  // Back from the database: this process's own address, port 0.
  m_->dbmsetime = 300;
  m_->dbmsstime = 200;
  tav_mzp1_dbms_recv2(m_.get(), "ignored", 1, 2, 3);
  const auto back = q.take(0), mine = q.take(0);
  ASSERT_TRUE(back && mine);
  EXPECT_EQ(std::string(1, (*back)[80]) + (*back)[82] + text(*back, 31, 6), "CS00010");
  EXPECT_EQ(be32_at(*back, 280), 300u);
  EXPECT_EQ(be32_at(*back, 284), 500u);
  EXPECT_EQ(std::string(1, (*mine)[80]) + (*mine)[82] + text(*mine, 31, 6), "CR00011");
  EXPECT_EQ((*mine)[249], 'J');
  EXPECT_EQ(text(*mine, 256, 16), "10.9.8.7");
  EXPECT_EQ(be32_at(*mine, 272), 0u);
  EXPECT_EQ(m_->dbmsf, 0);
  EXPECT_EQ(m_->ofildes, 0);
}

TEST_F(Mzp, ServerCallsOutAndBack) {
  Queues q(1);
  use_gtuid(q);
  for (int full : {1, 0}) {
    SCOPED_TRACE(full);
    en_qel_full = full;
    m_->gtuid.seq = 7;
    memcpy(m_->mzp1.pid, "123456789", 9);
    const std::string svc(40, 's');
    tav_mzp1_server_send(m_.get(), "TX", "071", svc.c_str(), "10.20.30.40.50.60");
    std::vector<std::vector<char>> msgs;
    while (auto msg = q.take(0)) msgs.push_back(*msg);
    ASSERT_EQ(msgs.size(), full ? 2u : 1u);
    // The call itself is reported on the thread's descriptor (none here).
    EXPECT_EQ(std::string(1, msgs[0][80]) + msgs[0][82], "CS");
    EXPECT_EQ(text(msgs[0], 256, 16), "NONE");
    if (full) {
      EXPECT_EQ(std::string(1, msgs[1][80]) + msgs[1][82] + text(msgs[1], 31, 6), "CR00009");
      EXPECT_EQ(field(msgs[1], 249, 5), std::string("T\0" "07\0", 5));
      EXPECT_EQ(text(msgs[1], 216, 33), std::string(32, 's'));
      EXPECT_EQ(text(msgs[1], 256, 16), "10.20.30.40.50.");
      EXPECT_EQ(be32_at(msgs[1], 272), 0u);
    }

    m_->gtuid.seq = 7;
    tav_mzp1_server_recv(m_.get(), "TX", "071", "billing", "10.20.30.40");
    msgs.clear();
    while (auto msg = q.take(0)) msgs.push_back(*msg);
    ASSERT_EQ(msgs.size(), full ? 2u : 1u);
    EXPECT_EQ(std::string(1, msgs[0][80]) + msgs[0][82] + text(msgs[0], 31, 6), "CS00008");
    EXPECT_EQ(field(msgs[0], 249, 5), std::string("T\0" "07\0", 5));
    EXPECT_EQ(text(msgs[0], 216, 33), "billing");
    EXPECT_EQ(text(msgs[0], 256, 16), "10.20.30.40");
    if (full) {
      EXPECT_EQ(std::string(1, msgs[1][80]) + msgs[1][82] + text(msgs[1], 31, 6), "CR00009");
      EXPECT_EQ(field(msgs[1], 249, 5), std::string("J\0" "22\0", 5));
      EXPECT_EQ(text(msgs[1], 216, 33), "12345678");
    }
    EXPECT_EQ(m_->gtuid.seq.get(), 9u);
  }
}

#if TAV_WITH_JAVA
// Adapter mode: the code records go onto the thread's list with kind 'T' and
// their own size, laid out as the queue messages without their type.
TEST_F(Mzp, TransactionCodeRecordsOnTheList) {
  en_mzp_qsend = 0;
  m_->glist = tav_list_create();
  ASSERT_NE(m_->glist, nullptr);
  m_->gtuid.seq = 42;
  std::string url(200, 'u');
  for (size_t i = 0; i < url.size(); ++i) url[i] = static_cast<char>('a' + i % 26);
  struct {
    int type, size;
  } cases[] = {{2, 104}, {4, 168}, {6, 296}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    m_->gtuid.trblock = 1;
    ASSERT_EQ(tav_mzp_tcode_append(m_.get(), c.type, url.c_str(), 200), 0);
    EXPECT_EQ(m_->gtuid.trblock, 0) << "the blocking flag is one-shot";
    tavlist* node = tav::glist_take(m_->glist);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->type, 'T');
    ASSERT_EQ(node->size, c.size);
    const std::vector<char> r(static_cast<char*>(node->data),
                              static_cast<char*>(node->data) + node->size);
    tav_list_free(node);
    EXPECT_EQ(field(r, 0, 23), std::string(kIdText, 23));  // byte 7 is "07"
    EXPECT_EQ(field(r, 23, 33), std::string("TRX001") + std::string(27, '\0'));
    EXPECT_EQ(field(r, 56, 6), std::string("00042", 6));
    EXPECT_TRUE(all_digits(field(r, 62, 20)));
    EXPECT_EQ(r[82], 0);
    EXPECT_EQ(field(r, 83, 16), std::string("10.1.2.3") + std::string(8, '\0'));
    EXPECT_EQ(field(r, 99, 2), std::string("\1\0", 2));
    if (c.type == 2) {
      EXPECT_EQ(field(r, 101, 3), std::string(3, '\0'));
    } else {
      EXPECT_EQ(field(r, 101, 33), std::string("customer-42") + std::string(22, '\0'));
      EXPECT_EQ(field(r, 134, 33), std::string("user-7") + std::string(27, '\0'));
    }
    if (c.type == 4) {
      EXPECT_EQ(r[167], 0);
    } else if (c.type == 6) {
      EXPECT_EQ(field(r, 167, 129), url.substr(0, 128) + std::string(1, '\0'));
    }
  }
  EXPECT_EQ(tav::glist_take(m_->glist), nullptr);
  EXPECT_EQ(tav_mzp_tcode_append(m_.get(), 3, nullptr, 0), -1);
  EXPECT_EQ(tav::glist_take(m_->glist), nullptr);
  tav_list_destroy(m_->glist);
  m_->glist = nullptr;
}
#endif
