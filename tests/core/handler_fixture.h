// A process of a class that passes messages on (a client handler, an HTTP
// handler), tested through the overrides linked into the test program: an
// entry connection from a client and a service connection to a back end,
// both loopback connections of the program itself.
#pragma once

#include <gtest/gtest.h>

#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "tcp_pair.h"

// `Class` is the process class variable of the build, set to `Value` for the
// test; `MakeRecords` makes the build's per-descriptor records.
template <int* Class, int Value, bool (*MakeRecords)()>
class HandlerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tav::prologue()) << "the library did not start";
    saved_class_ = *Class;
    *Class = Value;
    ASSERT_TRUE(MakeRecords());
    m_ = tav_thrinfo();
    ASSERT_TRUE(tav::thread_usable(m_));
    m_->gtuid.gflag = 0;
    // The entry connection's first read is done; nothing else is known.
    en_mfd[entry_.server].info = MFD_START | MFD_FIRSTREAD | MFD_INET | MFD_LOCAL;
    ASSERT_NE(en_mfd[service_.client].info & MFD_SERVICE, 0);
  }
  void TearDown() override {
    m_->gtuid.gflag = 0;
    *Class = saved_class_;
  }

  TcpPair entry_;          // client -> handler (server end)
  TcpPair service_{true};  // handler (client end) -> back end (server end)
  mthr* m_ = nullptr;
  int saved_class_ = 0;
};
