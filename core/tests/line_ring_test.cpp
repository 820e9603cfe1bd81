#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>

#include "core/worker/line_ring.h"

namespace vorlisk {
namespace {

// Pushes and takes in random runs (across wrap-arounds, growth and the
// release of an emptied large ring) against a std::deque.
TEST(LineRing, KeepsFifoOrderThroughGrowthAndWrapping) {
  LineRing ring;
  std::deque<std::string> expected;
  std::mt19937 random(7);
  size_t next = 0;
  for (int round = 0; round < 400; ++round) {
    const size_t pushes = random() % (round % 50 == 0 ? 3000 : 40);
    for (size_t i = 0; i < pushes; ++i) {
      std::string line = "line " + std::to_string(next++) + std::string(random() % 40, 'x');
      expected.push_back(line);
      ring.push_back(std::move(line));
    }
    const size_t takes = random() % (expected.size() + 1);
    for (size_t i = 0; i < takes; ++i) {
      ASSERT_EQ(std::move(ring.front()), expected.front());
      ring.pop_front();
      expected.pop_front();
    }
    ASSERT_EQ(ring.size(), expected.size());
    ASSERT_EQ(ring.empty(), expected.empty());
  }
  while (!expected.empty()) {
    ASSERT_EQ(ring.front(), expected.front());
    ring.pop_front();
    expected.pop_front();
  }
  EXPECT_TRUE(ring.empty());
  ring.push_back("after");
  EXPECT_EQ(ring.front(), "after");
}

TEST(LineRing, ATakenSlotHoldsNoText) {
  LineRing ring;
  ring.push_back(std::string(100, 'a'));
  ring.push_back(std::string(100, 'b'));
  ring.pop_front();  // not moved away first: the ring lets go of it
  EXPECT_EQ(ring.front(), std::string(100, 'b'));
  ring.pop_front();
  for (int i = 0; i < 15; ++i) ring.push_back("x");
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(ring.front(), "x");
    ring.pop_front();
  }
}

}  // namespace
}  // namespace vorlisk
