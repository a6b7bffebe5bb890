// A stop signal records itself and wakes the receive loop's wait through its
// event descriptor, so that a signal taken just before the wait began is not
// left to the wait's time limit.
#include "hardware/stop_signal.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "hardware/platform.h"
#include "sim/sim_platform.h"

// The handler installed on the simulated platform, an event descriptor to
// wake; everything put back at the end.
class stop_signal : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = platform;
    platform = &sim_platform;
    event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(event, 0);
    install_stop_handler();
  }
  void TearDown() override {
    set_stop_wake_fd(-1);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    stop_requested.store(0);
    close(event);
    platform = saved;
  }
  bool woken() const {
    pollfd p{event, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  }
  const platform_ops* saved = nullptr;
  int event = -1;
};

TEST_F(stop_signal, records_the_signal_and_wakes_the_wait) {
  set_stop_wake_fd(event);

  errno = EDOM;
  raise(SIGTERM);

  EXPECT_EQ(stop_requested.load(), SIGTERM);
  EXPECT_EQ(errno, EDOM) << "the handler must leave errno as it found it";
  EXPECT_TRUE(woken()) << "the wait on the event descriptor was not woken";
}

// A signal in the first moments of start-up, before the receive loop's event
// descriptor exists: the descriptor is woken as soon as it is made known, so
// the loop's first wait ends at once instead of at its time limit.
TEST_F(stop_signal, taken_before_the_descriptor_existed_wakes_it_when_it_comes) {
  raise(SIGTERM);
  set_stop_wake_fd(event);
  EXPECT_TRUE(woken()) << "the first wait would last its whole time limit";
}
