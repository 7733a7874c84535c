// Changing and applying the filter chain allocates nothing (a counting operator new is
// linked into this program).
#include <gtest/gtest.h>

#include "adaptive/filter_chain.h"
#include "tests/filters/allocation_counter.h"

namespace vorel_device {
namespace {

using filter_test::allocationCount;

// Notch at 60 Hz (8 Hz wide), low-pass at 40 Hz, rates of 30 N/s.
FilterOptions request(const char* name, int type) {
  FilterOptions o{{}, type, 60.0, 8.0, 40.0, 30.0, -30.0};
  o.setName(name);
  return o;
}

TEST(FilterChainAllocation, ChangingAndApplyingFourFilters_AllocatesNothing) {
  FilterChain chain;
  const long before = allocationCount();
  chain.add(request("lp", kLowPassFilter), 500.0);
  chain.add(request("notch", kNotchFilter), 500.0);
  chain.add(request("rl", kRateLimiter), 500.0);
  chain.add(request("hp", kHighPassRateLimiter), 500.0);
  chain.add(request("lp", kHighPassRateLimiter), 500.0);  // replaced
  chain.remove(request("rl", 0));
  chain.add(request("rl", kRateLimiter), 500.0);
  ASSERT_EQ(chain.size(), 4u);
  double sum = 0.0;
  for (int n = 0; n < 1000; ++n) {
    for (int axis = 0; axis < 6; ++axis)
      sum += chain.apply(0.01 * n + axis, 1.0, axis);
  }
  EXPECT_EQ(allocationCount(), before);
  EXPECT_NE(sum, 0.0);
}

}  // namespace
}  // namespace vorel_device
