// The simulated board as a gtest fixture: board_fixture holds a sim_board,
// with the options the fixtures built on it pass on.
#pragma once

#include <gtest/gtest.h>

#include "support/sim_board.h"

class board_fixture : public testing::Test {
 protected:
  explicit board_fixture(const board_options& o = {}) : board(o) {}
  sim_board board;
};
