// Tmax build: process classes, settings, header forms and exclusions.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "block_bytes.h"
#include "core/tav_build.h"
#include "core/tav_tables.h"
#include "temp_dir.h"

#if defined(TAV_BUILD_TMAX)
#include "servers/tmax/tav_tmax.h"
#include "servers/tmax/tav_tmax_handoff.h"
#include "servers/tmax/tav_tmax_io.h"

namespace {

TEST(TmaxClass, FromTheProgramName) {
  struct Case {
    const char* name;
    int cls;
  } cases[] = {{"clhsvr01", TAV_TMAX_CLH},  {"tmsvr", TAV_TMAX_SYSTEM},   {"appsvr", TAV_TMAX_SERVER},
               {"tmgw01", TAV_TMAX_GW},     {"jeusgw", TAV_TMAX_JEUSGW}, {"cmapper", TAV_TMAX_MAPPER},
               {"tmboot", TAV_TMAX_SYSTEM}, {"svrRDP1", TAV_TMAX_SYSTEM}, {"TIPsvr", TAV_TMAX_SYSTEM},
               {"tms_ora", TAV_TMAX_SYSTEM}, {"", TAV_TMAX_SERVER},     {"CLH", TAV_TMAX_SERVER}};
  for (const Case& c : cases) EXPECT_EQ(tav::tmax::process_class(c.name), c.cls) << c.name;
}

TEST(TmaxHeader, FormsFromTheFirstFourBytes) {
  struct Case {
    std::string head;
    bool known;
    tav::tmax::Form form;
  } cases[] = {
      {std::string("\x82\x20\x35\x90", 4), true, {4, 136, 100, 32}},
      {std::string("\x90\x35\x20\x82", 4), true, {4, 136, 100, 32}},
      {std::string("\x00\x00\x27\x0f", 4), true, {3, 96, 84, 16}},
      {"TSH ", true, {7, 11, 12, 13}},  // sizes as found before
      {"GET ", false, {0, 11, 12, 13}},
      {std::string("\x82\x20\x35", 3), false, {0, 11, 12, 13}},
  };
  for (const Case& c : cases) {
    tav::tmax::Form f{0, 11, 12, 13};
    EXPECT_EQ(tav::tmax::header_form(reinterpret_cast<const uint8_t*>(c.head.data()), c.head.size(), f), c.known);
    EXPECT_EQ(f.hform, c.form.hform);
    EXPECT_EQ(f.hsize, c.form.hsize);
    EXPECT_EQ(f.doffs, c.form.doffs);
    EXPECT_EQ(f.svcsz, c.form.svcsz);
  }
}

// A form-4 message: kind at 16, service name at 68, body length at 100.
std::string message(uint32_t kind, const char* service, int32_t body, size_t size = 136) {
  std::string m(136, '\0');
  memcpy(&m[0], "\x82\x20\x35\x90", 4);
  memcpy(&m[16], &kind, 4);
  memcpy(&m[68], service, std::min<size_t>(strlen(service), 32));
  memcpy(&m[100], &body, 4);
  return m.substr(0, size);
}

class TmaxDescriptors : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0);
    saved_ = {en_mfd, en_fd_max, tav_tmax_proc, tav_gtuid_keep_proc, en_gelist};
    en_mfd = fds_.data();
    en_fd_max = static_cast<int>(fds_.size());
    en_gelist = nullptr;
  }
  void TearDown() override {
    if (en_gelist) tav_list_destroy(en_gelist);
    en_mfd = saved_.mfd_;
    en_fd_max = saved_.max;
    tav_tmax_proc = saved_.proc;
    tav_gtuid_keep_proc = saved_.keep;
    en_gelist = saved_.list;
    unsetenv("TAV_CONFIG_FILE");
    for (int fd : sv_) close(fd);
  }
  // The exclusion list from settings `text` for a process of class `cls`.
  void exclusions(int cls, const std::string& text, int keep = 0) {
    setenv("TAV_CONFIG_FILE", dir_.write("qel.conf", text).c_str(), 1);
    tav_tmax_proc = cls;
    tav_gtuid_keep_proc = keep;
    if (en_gelist) tav_list_destroy(en_gelist);
    en_gelist = nullptr;
    tav_tmax_geinfo();
  }
  mfd& r() { return fds_[static_cast<size_t>(sv_[0])]; }
  void peer(const std::string& s) { ASSERT_EQ(write(sv_[1], s.data(), s.size()), static_cast<ssize_t>(s.size())); }

  int sv_[2] = {-1, -1};
  std::vector<mfd> fds_ = std::vector<mfd>(1024, mfd{});
  qel::test::TempDir dir_;
  std::unique_ptr<mthr> m_ = std::make_unique<mthr>();

 private:
  struct {
    mfd* mfd_;
    int max, proc, keep;
    tavlist_t* list;
  } saved_{};
};

TEST_F(TmaxDescriptors, HeaderCheckPeeksWithoutConsuming) {
  // Too few bytes yet: nothing known, nothing consumed.
  peer(std::string("\x82\x20", 2));
  EXPECT_EQ(tav_tmax_hdr_check(0, sv_[0], nullptr, 0), 0);
  EXPECT_EQ(r().info & MFD_HFORM, 0);
  peer(std::string("\x35\x90", 2) + std::string(200, 'x'));
  EXPECT_EQ(tav_tmax_hdr_check(0, sv_[0], nullptr, 0), 4);
  EXPECT_NE(r().info & MFD_HFORM, 0);
  EXPECT_EQ(r().hsize, 136);
  EXPECT_EQ(r().doffs, 100);
  EXPECT_EQ(r().svcsz, 32);
  char all[300];
  EXPECT_EQ(recv(sv_[0], all, sizeof all, MSG_DONTWAIT), 204) << "the check consumed bytes";

  // On a framed connection the header follows the block.
  r() = mfd{};
  r().info = MFD_SERVICE;
  peer(qel::test::block_bytes(1, 100) + std::string("\x00\x00\x27\x0f", 4) + std::string(96, 'y'));
  EXPECT_EQ(tav_tmax_hdr_check(0, sv_[0], nullptr, 0), 3);
  EXPECT_EQ(r().hsize, 96);

  // A written buffer that opens no header: known to be none from now on.
  r() = mfd{};
  EXPECT_EQ(tav_tmax_hdr_check(1, sv_[0], "GET / HTTP/1.0", 14), 0);
  EXPECT_NE(r().info & MFD_HFORM, 0);
}

TEST_F(TmaxDescriptors, ServicesAndCodesThatAreNotTraced) {
  exclusions(TAV_TMAX_CLH, "QEL_GTUID_EXCEPT = TOL, ADM\n");
  r().hform = 4, r().hsize = 136, r().doffs = 100, r().svcsz = 32;
  struct Case {
    const char* name;
    std::string msg;
    int excluded;
  } cases[] = {
      {"listed service", message(3, "TOLQUERY", 40), 1},
      {"second entry", message(3, "ADMIN", 40), 1},
      {"other service", message(3, "PAYMENT", 40), 0},
      {"kind 1", message(1, "PAYMENT", 40), 1},
      {"kind 2 the other way round", message(0x02000000, "PAYMENT", 40), 1},
      {"body below 2", message(3, "PAYMENT", 1), 1},
      {"message cut before the service name", message(3, "TOLQUERY", 40, 60), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tav_tmax_gexcept(m_.get(), sv_[0], c.msg.data(), c.msg.size()), c.excluded);
  }
  // The library's own service: excluded, and the descriptor starts afresh.
  const std::string own = message(3, "tavTMping", 40);
  EXPECT_EQ(tav_tmax_gexcept(m_.get(), sv_[0], own.data(), own.size()), 1);
  EXPECT_EQ(r().hform, 0);

  // An application server excludes by its own list, and by transaction code
  // (kind 4) when it keeps codes.
  exclusions(TAV_TMAX_SERVER, "QEL_GTUID_KEEP_SERVICE = SVC_A\nQEL_GTUID_KEEP_TRCODE = TX9\n", 1);
  r().hform = 4, r().hsize = 136, r().doffs = 100, r().svcsz = 32;
  memcpy(m_->gtuid.trcode, "TX900", 5);
  const std::string a = message(3, "SVC_A1", 0), b4 = message(4, "OTHER", 0), b3 = message(3, "OTHER", 0);
  EXPECT_EQ(tav_tmax_gexcept(m_.get(), sv_[0], a.data(), a.size()), 1);
  EXPECT_EQ(tav_tmax_gexcept(m_.get(), sv_[0], b4.data(), b4.size()), 1);
  EXPECT_EQ(tav_tmax_gexcept(m_.get(), sv_[0], b3.data(), b3.size()), 0);
  memcpy(m_->gtuid.trcode, "TY900", 5);
  EXPECT_EQ(tav_tmax_gexcept(m_.get(), sv_[0], b4.data(), b4.size()), 0);
}

TEST_F(TmaxDescriptors, ServerSettingsFollowSvrname) {
  setenv("TAV_CONFIG_FILE",
         dir_.write("qel.conf", "QEL_THREAD_COUNT = other:9000, svr_pay:6000\n"
                                "QEL_GTUID_CREATE_SERVER = svr_p\nQEL_GTUID_KEEP_SERVER = nope, svr\n")
             .c_str(),
         1);
  setenv("SVRNAME", "svr_pay", 1);
  const int threads = en_thread_max, create = tav_gtuid_create_proc, keep = tav_gtuid_keep_proc;
  en_thread_max = 4096;
  tav_gtuid_create_proc = tav_gtuid_keep_proc = 0;
  EXPECT_EQ(tav_tmax_init(), 0);
  EXPECT_EQ(en_thread_max, 6000);
  EXPECT_EQ(tav_gtuid_create_proc, 1);
  EXPECT_EQ(tav_gtuid_keep_proc, 1);
  unsetenv("SVRNAME");
  en_thread_max = threads;
  tav_gtuid_create_proc = create;
  tav_gtuid_keep_proc = keep;
}

// What one call of a write sends: the host's bytes or the library's copy.
std::string sends(mthr* m, int fd, mfd& r, const std::string& host, size_t from, size_t n, bool greet) {
  tav::tmax::Outbound out(host.data() + from);
  tav::tmax::prepare_write(m, fd, r, host.data() + from, n, greet, out);
  return std::string(static_cast<const char*>(out.data()), n);
}

// The library's changes to a message go out from a copy, also when the host
// needs several calls to write the message: each retry gets the part of the
// change that falls into it, and a write of other bytes drops the change.
TEST_F(TmaxDescriptors, ChangesToAMessageFollowItsRetries) {
  tav_tmax_proc = TAV_TMAX_CLH;
  const std::string greeting = message(0xCE, "", 0);
  std::string marked = greeting;
  memcpy(&marked[132], TAV_GTUID_INIT, 4);
  struct Case {
    const char* name;
    std::vector<size_t> written;  // what each call got out
  } cases[] = {{"whole", {136}}, {"before the marker", {100, 36}}, {"inside the marker", {134, 2}},
               {"byte by byte at the end", {131, 1, 1, 1, 1, 1}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    r() = mfd{};
    r().info = MFD_START;
    std::string wire;
    size_t at = 0;
    for (size_t w : c.written) {
      wire += sends(m_.get(), sv_[0], r(), greeting, at, greeting.size() - at, true).substr(0, w);
      tav::tmax::wrote(r(), static_cast<ssize_t>(w));
      at += w;
    }
    EXPECT_EQ(wire, marked);
    EXPECT_EQ(r().plen, 0);
  }
  // A send is no greeting; a write of other bytes drops a pending change.
  r() = mfd{};
  EXPECT_EQ(sends(m_.get(), sv_[0], r(), greeting, 0, 136, false), greeting);
  EXPECT_EQ(sends(m_.get(), sv_[0], r(), greeting, 0, 136, true), marked);
  tav::tmax::wrote(r(), 100);
  const std::string other(36, 'x');
  EXPECT_EQ(sends(m_.get(), sv_[0], r(), other, 0, 36, true), other);
  EXPECT_EQ(r().plen, 0);
}

// A message handed on in a buffer: the write that passes it on takes the
// transaction back and sends the message's own bytes, across a short write.
TEST_F(TmaxDescriptors, HandedOnMessageGoesOutWithItsOwnBytes) {
  tav_tmax_proc = TAV_TMAX_GW;
  const std::string msg = message(4, "SVC1", 40) + std::string(40, 'b');
  std::string host = msg;
  gtuid_t g{};
  memcpy(g.init, TAV_GTUID_INIT, 4);
  g.gflag = 1;
  g.gtuid[0] = 7;
  ASSERT_TRUE(tav::tmax::handoff_out(g, &host[136], 40));
  r().info = MFD_SERVICE;
  m_->gtuid = gtuid_t{};
  std::string wire = sends(m_.get(), sv_[0], r(), host, 0, host.size(), false).substr(0, 140);
  EXPECT_EQ(m_->gtuid.gtuid[0], 7) << "the thread has the message's transaction";
  EXPECT_EQ(m_->gtuid.gflag, 1);
  tav::tmax::wrote(r(), 140);
  wire += sends(m_.get(), sv_[0], r(), host, 140, host.size() - 140, false);
  tav::tmax::wrote(r(), static_cast<ssize_t>(host.size() - 140));
  EXPECT_EQ(wire, msg);
  EXPECT_EQ(r().plen, 0);
}

// The transaction of a message rides in the host's buffer between a read
// and the write that passes the message on.
TEST(TmaxHandoff, BlockGoesOutAndComesBackOnce) {
  gtuid_t g{};
  memcpy(g.init, TAV_GTUID_INIT, 4);
  g.gflag = 1;
  memset(g.gtuid, 42, sizeof g.gtuid);
  const int before = tav::tmax::handoff_count();

  // The read side: the body's first 16 bytes give way to marker and address.
  std::string body = "0123456789abcdef-rest-of-the-body";
  ASSERT_TRUE(tav::tmax::handoff_out(g, body.data(), body.size()));
  EXPECT_EQ(tav::tmax::handoff_count(), before + 1);
  const int32_t marker = 0x020A240F;
  EXPECT_EQ(memcmp(body.data(), &marker, 4), 0);
  EXPECT_EQ(body.substr(16), "-rest-of-the-body");

  // The write side takes the 16 bytes back from where they stood.
  gtuid_t taken{};
  unsigned char own[tav::tmax::kHandoffBytes];
  ASSERT_TRUE(tav::tmax::handoff_in(body.data(), taken, own));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(own), 16), "0123456789abcdef");
  EXPECT_EQ(taken.gtuid[0], 42);
  EXPECT_EQ(tav::tmax::handoff_count(), before);
  // The same ticket again: the block was taken back, nothing is read.
  EXPECT_FALSE(tav::tmax::handoff_in(body.data(), taken, own));
}

// Bytes from the network that carry the marker and any address: the address
// is never used (an address like 0x10 would fault if it were).
TEST(TmaxHandoff, ForgedMarkerAndAddressAreLeftAlone) {
  struct Case {
    const char* name;
    int32_t marker;
    uintptr_t address;
  } cases[] = {
      {"tiny address", tav::tmax::kHandoffMarker, 0x10},
      {"plausible heap address", tav::tmax::kHandoffMarker, reinterpret_cast<uintptr_t>(&cases)},
      {"no marker", 0x0F240A02, 0x10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned char ticket[16];
    const int32_t zero = 0;
    memcpy(ticket, &c.marker, 4);
    memcpy(ticket + 4, &zero, 4);
    memcpy(ticket + 8, &c.address, 8);
    gtuid_t g{};
    unsigned char own[tav::tmax::kHandoffBytes];
    memset(own, 'c', sizeof own);
    EXPECT_FALSE(tav::tmax::handoff_in(ticket, g, own));
    EXPECT_EQ(own[0], 'c');
    EXPECT_EQ(g.gflag, 0);
  }
  std::string shortread(15, 's');
  gtuid_t g{};
  EXPECT_FALSE(tav::tmax::handoff_out(g, shortread.data(), shortread.size()));
  EXPECT_EQ(shortread, std::string(15, 's'));
}

}  // namespace
#endif
