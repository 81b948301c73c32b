// Tmax build: the functions through which Tmax programs read the calling
// thread's transaction. Each scenario starts the library in a child process
// of its own, with a settings file that logs at level 2 into a temp dir.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "base/tav_globals.h"
#include "child.h"
#include "core/tav_build.h"
#include "core/tav_gtuid.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "temp_dir.h"

#if defined(TAV_BUILD_TMAX)
#include "servers/tmax/tav_tmax_api.h"

namespace {

constexpr char kSentinel = '#';

// A caller's buffer: `used` bytes that may be written and a tail that must
// never be.
struct Buffer {
  explicit Buffer(size_t used) : used(used), bytes(used + 8, kSentinel) {}
  char* data() { return bytes.data(); }
  std::string text() const { return bytes.substr(0, used); }
  bool untouched() const { return bytes == std::string(bytes.size(), kSentinel); }
  bool tail_untouched() const { return bytes.substr(used) == std::string(8, kSentinel); }
  size_t used;
  std::string bytes;
};

class TmaxApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    conf_ = dir_.write("qel.conf",
                       "QEL_LOG=ON\nQEL_LOG_LEVEL=2\nQEL_LOG_PATH=" + dir_.path() + "\n");
  }
  // Runs `body` in a child after pointing the library at the settings file;
  // the first call of the body starts the library.
  void run(const std::function<int()>& body) {
    auto r = qel::test::in_child([&] {
      setenv("TAV_CONFIG_FILE", conf_.c_str(), 1);
      return body();
    });
    EXPECT_CHILD_OK(r);
  }

  qel::test::TempDir dir_;
  std::string conf_;
};

// Gives the calling thread an active transaction with known fields (starting
// the library first when nothing has yet).
mthr* active_thread() {
  CHILD_CHECK(tav::prologue());
  mthr* m = tav_thrinfo();
  tav_gtuid_create(m);
  gtuid_t& g = m->gtuid;
  const uint8_t id[11] = {0, 1, 9, 10, 42, 99, 7, 70, 55, 3, 20};
  memcpy(g.gtuid, id, sizeof id);
  g.seq = 513;
  const uint8_t ip[4] = {127, 0, 0, 2};
  memcpy(g.ip, ip, sizeof ip);
  memset(g.trcode, 0, sizeof g.trcode);
  memcpy(g.trcode, "PAY-TRANSFER", 12);
  memset(m->mzp1.srname, 'S', sizeof m->mzp1.srname);
  memcpy(m->mzp1.srname, "svr_bank", 8);
  memset(m->mzp1.svname, 0, sizeof m->mzp1.svname);
  memcpy(m->mzp1.svname, "TRANSFER01", 10);
  return m;
}

const std::string kGtuidText = "0001091042990770550320";

TEST_F(TmaxApi, InactiveThreadGetsMinusOneAndUntouchedBuffers) {
  run([] {
    Buffer out(96), text(22), ip(15), seq(5), code(32), sr(32), sv(32);
    auto none_written = [&] {
      return out.untouched() && text.untouched() && ip.untouched() && seq.untouched() &&
             code.untouched() && sr.untouched() && sv.untouched();
    };
    auto all_refused = [&] {
      return tav_GTUID_getGTUID(out.data()) == -1 &&
             tav_GTUID_getGTUID_INFO(text.data(), ip.data(), code.data()) == -1 &&
             tav_GTUID_getGTUID_INFO2(text.data(), seq.data(), code.data(), sr.data(),
                                      sv.data()) == -1;
    };
    CHILD_CHECK(all_refused());  // the first call starts the library
    CHILD_CHECK(en_handle == 1 && tav::bypass == 0);
    CHILD_CHECK(none_written());

    mthr* m = active_thread();
    m->gtuid.gflag = 0;  // marker, but not active
    CHILD_CHECK(all_refused() && none_written());
    m->gtuid.gflag = 1;
    m->gtuid.init[3] ^= 0xff;  // active flag without the marker
    CHILD_CHECK(all_refused() && none_written());
    return 0;
  });
}

TEST_F(TmaxApi, ActiveThreadGetsItsRecordAndTexts) {
  run([] {
    mthr* m = active_thread();
    Buffer out(96);
    errno = EDOM;
    CHILD_CHECK(tav_GTUID_getGTUID(out.data()) == 0);
    CHILD_CHECK(errno == EDOM);
    CHILD_CHECK(memcmp(out.data(), &m->gtuid, 96) == 0 && out.tail_untouched());

    Buffer text(22), ip(15), code(32);
    CHILD_CHECK(tav_GTUID_getGTUID_INFO(text.data(), ip.data(), code.data()) == 0);
    CHILD_CHECK(text.text() == kGtuidText && text.tail_untouched());
    CHILD_CHECK(ip.text() == std::string("127.0.0.2\0\0\0\0\0\0", 15) && ip.tail_untouched());
    CHILD_CHECK(code.text() == "PAY-TRANSFER" + std::string(20, '\0') && code.tail_untouched());

    // The longest address fills the 15 bytes exactly.
    memset(m->gtuid.ip, 255, 4);
    Buffer ip_full(15);
    CHILD_CHECK(tav_GTUID_getGTUID_INFO(text.data(), ip_full.data(), code.data()) == 0);
    CHILD_CHECK(ip_full.text() == "255.255.255.255" && ip_full.tail_untouched());

    Buffer text2(22), seq(5), code2(32), sr(32), sv(32);
    CHILD_CHECK(tav_GTUID_getGTUID_INFO2(text2.data(), seq.data(), code2.data(), sr.data(),
                                         sv.data()) == 0);
    CHILD_CHECK(text2.text() == kGtuidText && text2.tail_untouched());
    CHILD_CHECK(seq.text() == "00513" && seq.tail_untouched());
    CHILD_CHECK(code2.text() == code.text() && code2.tail_untouched());
    CHILD_CHECK(sr.text() == "svr_bank" + std::string(24, 'S') && sr.tail_untouched());
    CHILD_CHECK(sv.text() == "TRANSFER01" + std::string(22, '\0') && sv.tail_untouched());

    m->gtuid.seq = 65535;
    CHILD_CHECK(tav_GTUID_getGTUID_INFO2(text2.data(), seq.data(), code2.data(), sr.data(),
                                         sv.data()) == 0);
    CHILD_CHECK(seq.text() == "65535");

    const std::string log = qel::test::TempDir::read(en_log_file);
    CHILD_CHECK(log.find("getGTUID") != std::string::npos);
    return 0;
  });
}

TEST_F(TmaxApi, AddressesAreTheThreadsOwnFields) {
  run([] {
    mthr* m = active_thread();
    unsigned char *gflag = nullptr, *id = nullptr, *ip = nullptr;
    void* seq = nullptr;
    char *code = nullptr, *sr = nullptr, *sv = nullptr;
    CHILD_CHECK(tav_GTUID_gtuidADDR(&gflag, &id, &seq, &code, &ip, &sr, &sv) == 0);
    gtuid_t& g = m->gtuid;
    CHILD_CHECK(gflag == &g.gflag && id == g.gtuid && seq == static_cast<void*>(&g.seq));
    CHILD_CHECK(code == g.trcode && ip == g.ip);
    CHILD_CHECK(sr == m->mzp1.srname && sv == m->mzp1.svname);

    // The program writes through them and reads the result back.
    id[0] = 98;
    memcpy(code, "WRITTEN", 8);
    static_cast<unsigned char*>(seq)[1] = 7;  // big-endian: the low byte
    unsigned char out[96];
    CHILD_CHECK(tav_GTUID_getGTUID(out) == 0);
    CHILD_CHECK(out[5] == 98 && memcmp(out + 50, "WRITTEN", 8) == 0 && out[16] == 2 &&
                out[17] == 7);
    *gflag = 0;
    CHILD_CHECK(tav_GTUID_getGTUID(out) == -1);

    // Null out-pointers are skipped; the others are still filled.
    char* only = nullptr;
    CHILD_CHECK(tav_GTUID_gtuidADDR(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    &only) == 0);
    CHILD_CHECK(only == m->mzp1.svname);
    CHILD_CHECK(tav_GTUID_gtuidADDR(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr) == 0);

    const std::string log = qel::test::TempDir::read(en_log_file);
    char line[64];
    snprintf(line, sizeof line, "gtuidADDR. (0x%p)", static_cast<void*>(&g));
    CHILD_CHECK(log.find(line) != std::string::npos);
    return 0;
  });
}

TEST_F(TmaxApi, NullBuffersAreRefusedWithoutWriting) {
  run([] {
    active_thread();
    CHILD_CHECK(tav_GTUID_getGTUID(nullptr) == -1);
    for (int null_at = 0; null_at < 3; ++null_at) {
      Buffer b[3] = {Buffer(22), Buffer(15), Buffer(32)};
      char* p[3] = {b[0].data(), b[1].data(), b[2].data()};
      p[null_at] = nullptr;
      CHILD_CHECK(tav_GTUID_getGTUID_INFO(p[0], p[1], p[2]) == -1);
      for (const Buffer& x : b) CHILD_CHECK(x.untouched());
    }
    for (int null_at = 0; null_at < 5; ++null_at) {
      Buffer b[5] = {Buffer(22), Buffer(5), Buffer(32), Buffer(32), Buffer(32)};
      char* p[5];
      for (int i = 0; i < 5; ++i) p[i] = b[i].data();
      p[null_at] = nullptr;
      CHILD_CHECK(tav_GTUID_getGTUID_INFO2(p[0], p[1], p[2], p[3], p[4]) == -1);
      for (const Buffer& x : b) CHILD_CHECK(x.untouched());
    }
    unsigned char out[96];
    CHILD_CHECK(tav_GTUID_getGTUID(out) == 0);  // still active: only the calls were refused
    return 0;
  });
}

TEST_F(TmaxApi, SetBLExcludesOnlyTheCallingThread) {
  run([] {
    mthr* m = active_thread();
    std::thread([&] {
      mthr* other = active_thread();
      CHILD_CHECK(other != m && other->bl == 0);
      errno = ERANGE;
      CHILD_CHECK(tav_GTUID_setBL() == 0);
      CHILD_CHECK(errno == ERANGE);
      CHILD_CHECK(other->bl == 1);
      unsigned char out[96];
      CHILD_CHECK(tav_GTUID_getGTUID(out) == -1);  // excluded: no more transaction work
      unsigned char* gflag = nullptr;
      CHILD_CHECK(tav_GTUID_gtuidADDR(&gflag, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr) == -1 &&
                  gflag == nullptr);
      CHILD_CHECK(tav_GTUID_setBL() == 0);  // needs only a record of its own
    }).join();  // the thread's slot is freed as it ends
    CHILD_CHECK(m->bl == 0);
    unsigned char out[96];
    CHILD_CHECK(tav_GTUID_getGTUID(out) == 0);

    const std::string log = qel::test::TempDir::read(en_log_file);
    CHILD_CHECK(log.find("setBL") != std::string::npos);
    return 0;
  });
}

// A thread that finds the table full shares the overflow record: it must not
// be excluded (that would exclude every thread sharing it) nor read from.
TEST_F(TmaxApi, OverflowRecordIsRefused) {
  run([] {
    en_thread_max = 1;
    active_thread();  // the main thread takes the only slot
    std::thread([] {
      mthr* m = tav_thrinfo();
      CHILD_CHECK(m == tav::overflow_record());
      tav_gtuid_create(m);
      unsigned char out[96];
      CHILD_CHECK(tav_GTUID_getGTUID(out) == -1);
      CHILD_CHECK(tav_GTUID_setBL() == -1);
      CHILD_CHECK(m->bl == 0);
    }).join();
    return 0;
  });
}

TEST_F(TmaxApi, PassThroughModeRefusesEveryCall) {
  run([] {
    active_thread();
    unsigned char out[96];
    CHILD_CHECK(tav_GTUID_getGTUID(out) == 0);
    tav::bypass = 1;  // as after a failed start-up
    Buffer text(22), ip(15), code(32);
    char* addr = nullptr;
    CHILD_CHECK(tav_GTUID_getGTUID(out) == -1);
    CHILD_CHECK(tav_GTUID_getGTUID_INFO(text.data(), ip.data(), code.data()) == -1);
    CHILD_CHECK(tav_GTUID_gtuidADDR(nullptr, nullptr, nullptr, &addr, nullptr, nullptr,
                                    nullptr) == -1 &&
                addr == nullptr);
    CHILD_CHECK(tav_GTUID_setBL() == -1 && tav_thrinfo()->bl == 0);
    CHILD_CHECK(text.untouched() && ip.untouched() && code.untouched());
    return 0;
  });
}

}  // namespace
#endif
