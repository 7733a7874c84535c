// Applying the filter chain allocates nothing (a counting operator new is
// linked into this program).
#include <gtest/gtest.h>

#include <cstring>

#include "adaptive/filter_chain.h"
#include "tests/filters/allocation_counter.h"

namespace vorel_device {
namespace {

using filter_test::allocationCount;

FilterOptions request(const char* name, int type) {
  FilterOptions o;
  std::memcpy(o.name, name, std::strlen(name));
  o.type = type;
  o.cutoff_frequency = 40.0;
  o.reject_frequency = 60.0;
  o.bandwidth = 8.0;
  o.rising_rate = 30.0;
  o.falling_rate = -30.0;
  return o;
}

TEST(FilterChainAllocation, ApplyingFourFilters_AllocatesNothing) {
  FilterChain chain;
  chain.add(request("lp", kLowPassFilter), 500.0);
  chain.add(request("notch", kNotchFilter), 500.0);
  chain.add(request("rl", kRateLimiter), 500.0);
  chain.add(request("hp", kHighPassRateLimiter), 500.0);
  ASSERT_EQ(chain.size(), 4u);
  double sum = 0.0;
  const long before = allocationCount();
  for (int n = 0; n < 1000; ++n) {
    for (int axis = 0; axis < 6; ++axis)
      sum += chain.apply(0.01 * n + axis, 1.0, axis);
  }
  EXPECT_EQ(allocationCount(), before);
  EXPECT_NE(sum, 0.0);
}

}  // namespace
}  // namespace vorel_device
