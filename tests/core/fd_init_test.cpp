// Classification of a descriptor from a socket address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>
#include <string>

#include "base/tav_ipinfo.h"
#include "core/tav_tables.h"
#include "sockaddrs.h"

namespace {

using qel::test::inet4;
using qel::test::inet6;
using qel::test::unix_path;

struct Case {
  const char* name;
  sockaddr_storage addr;
  int how;
  int info;          // expected flag word
  const char* rip;   // expected peer text
  int rport;         // expected peer port (-1: the descriptor number)
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

constexpr int kFd = 7;
constexpr int kBefore = MFD_SERVICE | MFD_FIRSTREAD;  // left from earlier use

class FdInit : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    en_fd_max = 16;
    en_mfd = table_;
    strcpy(en_my_ip, "127.0.0.1");
    memset(table_, 0, sizeof table_);
    table_[kFd].info = kBefore;
    strcpy(table_[kFd].rip, "old");
    table_[kFd].rport = 1;
  }
  void TearDown() override {
    en_fd_max = 0;
    en_mfd = nullptr;
    en_my_ip[0] = 0;
  }
  mfd table_[16];
  mthr thread_{};
};

TEST_P(FdInit, Classifies) {
  const Case& c = GetParam();
  EXPECT_EQ(tav_fd_init(&thread_, kFd, reinterpret_cast<const sockaddr*>(&c.addr), c.how), 0);
  const mfd& r = table_[kFd];
  EXPECT_EQ(r.info, c.info) << std::hex << r.info;
  EXPECT_STREQ(r.rip, c.rip);
  EXPECT_EQ(r.rport, c.rport < 0 ? kFd : c.rport);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, FdInit,
    ::testing::Values(
        Case{"unix_empty_path_untracked", unix_path(""), 0, kBefore, "old", 1},
        Case{"unix_bound", unix_path("/tmp/app/srv.sock"), 0, MFD_UNIX | MFD_LOCAL, "srv.sock", -1},
        Case{"unix_keep_path", unix_path("/var/run/wsmd/ctl"), 2,
             MFD_UNIX | MFD_LOCAL | MFD_KEEP, "ctl", -1},
        Case{"unix_long_component_cut", unix_path("/tmp/averyveryverylongsocketname"), 2,
             MFD_UNIX | MFD_LOCAL, "averyveryverylo", -1},
        Case{"unix_no_slash", unix_path("relative.sock"), 2, MFD_UNIX | MFD_LOCAL,
             "relative.sock", -1},
        Case{"inet_port_zero_untracked", inet4("127.0.0.1", 0), 2, kBefore, "old", 1},
        Case{"inet_peer_local", inet4("127.0.0.1", 80), 2, MFD_INET | MFD_LOCAL,
             "127.0.0.1", 80},
        Case{"inet_peer_remote", inet4("127.0.0.2", 8080), 2, MFD_INET | MFD_REMOTE,
             "127.0.0.2", 8080},
        Case{"inet_bound_keeps_peer", inet4("0.0.0.0", 9000), 0, MFD_INET, "old", 1},
        Case{"inet6_mapped_local", inet6("::ffff:127.0.0.1", 443), 2,
             MFD_INET6 | MFD_LOCAL, "127.0.0.1", 443},
        Case{"inet6_loopback", inet6("::1", 443), 2, MFD_INET6 | MFD_REMOTE, "1", 443},
        Case{"inet6_long_text_cut", inet6("fe80::1234:5678:9abc:def0", 1), 2,
             MFD_INET6 | MFD_REMOTE, "def0", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FdInit, LeavesOtherFamiliesAndOutOfRangeDescriptorsAlone) {
  sockaddr_storage ss{};
  ss.ss_family = AF_NETLINK;
  tav_fd_init(&thread_, kFd, reinterpret_cast<sockaddr*>(&ss), 2);
  EXPECT_EQ(table_[kFd].info, kBefore);
  const auto in = inet4("127.0.0.1", 80);
  for (int fd : {-1, 16, 1 << 30}) {
    EXPECT_EQ(tav_fd_init(&thread_, fd, reinterpret_cast<const sockaddr*>(&in), 2), 0);
  }
  EXPECT_EQ(tav_fd_init(&thread_, kFd, nullptr, 2), 0);
  EXPECT_EQ(table_[kFd].info, kBefore);
}

// The service list applied by classification: kinds, codes of a known
// server, the one-shot database redirect port.
class FdInitWithList : public FdInit {
 protected:
  void SetUp() override {
    FdInit::SetUp();
    char entries[] =
        "10.0.0.5:1521:ORACLE, 10.0.0.6:2000-2010:START, 10.0.0.7:7001:JRMI, 10.0.0.9:5555";
    ASSERT_EQ(tav_ipinfo(entries, 1), 4);
    char servers[] = "10.0.0.8:9000:3:44";
    ASSERT_EQ(tav_sipinfo(servers), 0);
  }
  void TearDown() override {
    tav_iplist_destroy(en_mip);
    en_mip = nullptr;
    en_qel_server_mode = 0;
    FdInit::TearDown();
  }
  const mfd& classify(const char* ip, int port, int how) {
    const auto addr = inet4(ip, port);
    tav_fd_init(&thread_, kFd, reinterpret_cast<const sockaddr*>(&addr), how);
    return table_[kFd];
  }
};

TEST_F(FdInitWithList, PeersTakeTheKindOfTheirEntry) {
  EXPECT_EQ(classify("10.0.0.5", 1521, 2).info, MFD_INET | MFD_REMOTE | MFD_ORACLE);
  EXPECT_EQ(classify("10.0.0.6", 2010, 2).info, MFD_INET | MFD_REMOTE | MFD_START);
  EXPECT_EQ(classify("10.0.0.6", 2011, 2).info, MFD_INET | MFD_REMOTE);
  EXPECT_EQ(classify("10.0.0.7", 1, 2).info, MFD_INET | MFD_REMOTE | MFD_JRMI);  // any port
  // 127.0.0.1 matches every entry whose port fits, whatever its address.
  EXPECT_EQ(classify("127.0.0.1", 5555, 2).info, MFD_INET | MFD_LOCAL | MFD_JRMI);
  const mfd& server = classify("10.0.0.8", 9000, 2);
  EXPECT_EQ(server.info, MFD_INET | MFD_REMOTE | MFD_SERVER_INFO);
  EXPECT_EQ(server.scode, 3);
  EXPECT_EQ(server.pcode, 44);
}

TEST_F(FdInitWithList, RedirectPortHintIsUsedOnce) {
  thread_.dbmsp = 1600;  // the database asked the client to come back on 1600
  EXPECT_EQ(classify("10.0.0.5", 1600, 2).info, MFD_INET | MFD_REMOTE | MFD_ORACLE);
  EXPECT_EQ(thread_.dbmsp, 0);
  EXPECT_EQ(classify("10.0.0.5", 1600, 2).info, MFD_INET | MFD_REMOTE);
}

TEST_F(FdInitWithList, BoundSocketsGetCodesOnlyInServerInfoMode) {
  strcpy(en_my_ip, "10.0.0.8");  // a bound socket is tested as this node's address
  EXPECT_EQ(classify("0.0.0.0", 9000, 0).info, MFD_INET | MFD_SERVER_INFO);
  EXPECT_EQ(table_[kFd].scode, 0);
  en_qel_server_mode = 1;
  EXPECT_EQ(classify("0.0.0.0", 9000, 0).scode, 3);
}

}  // namespace
