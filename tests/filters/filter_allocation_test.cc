// The filter steps run in every force-control cycle and must not allocate.
// This binary links the counting operator new of allocation_counter.cc.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "filters/filters.h"
#include "tests/filters/allocation_counter.h"

namespace vorel_device {
namespace {

TEST(FilterAllocation, EveryStepAndHistoryClear_AllocatesNothing) {
  std::vector<std::unique_ptr<Filter>> chain;
  chain.push_back(std::make_unique<LowPassFilter>(30.0, 500.0));
  chain.push_back(std::make_unique<NotchFilter>(50.0, 10.0, 500.0));
  chain.push_back(std::make_unique<RateLimiter>(50.0, -50.0, 500.0));
  HighPassRateLimiter system_filter(50.0, 50.0, -50.0, 500.0);
  Wrench w;
  Wrench reference;
  reference[2] = 5.0;

  const long before = filter_test::allocationCount();
  double sink = 0.0;
  for (int n = 0; n < 1000; ++n) {
    for (int axis = 0; axis < 6; ++axis) {
      w[axis] = 0.01 * n + axis;
    }
    for (auto& f : chain) {
      w = f->filter(w);
      sink += f->filter(w[0], 0);
    }
    w = system_filter.filter(w, reference);
    sink += system_filter.filter(w[1], reference[1], 1);
  }
  for (auto& f : chain) {
    f->clearHistory();
  }
  system_filter.clearHistory();
  system_filter.updateParams(20.0, 10.0, -10.0);
  const long after = filter_test::allocationCount();

  EXPECT_EQ(after - before, 0);
  // The counting operator new is the one in use: a known allocation is seen.
  auto probe = std::make_unique<double>(1.0);
  EXPECT_EQ(filter_test::allocationCount() - after, 1);
  EXPECT_TRUE(std::isfinite(sink));
}

}  // namespace
}  // namespace vorel_device
