#ifndef DAEMON_TEST_HPP
#define DAEMON_TEST_HPP

#include <gtest/gtest.h>

#include "bus_test_support.hpp"

namespace bustest {

/* A test with its own daemon, which must exit cleanly at the end (under sanitizers: no leak). */
template <class D = Daemon> class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(daemon.start()) << daemon.log(); }
    void TearDown() override {
        if (daemon.process != nullptr) {
            EXPECT_EQ(daemon.stop(), 0) << daemon.log();
        }
    }
    D daemon;
};

} // namespace bustest

#endif
