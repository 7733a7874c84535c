// The one-slot hand-offs between the command facade and the force-control
// cycle: filter requests ("new_filter_flag" with "temp_filter_options"), the
// system filter's parameters and its history reset ("reset_filter_history").
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "tests/adaptive/adaptive_fixture.h"

namespace vorel_device {
namespace adaptive_test {
namespace {

using testing::ElementsAre;
using Facade = VorelForceTorqueSensorSecondaryInstance;

using AdaptiveHandoffTest = AdaptiveFixture;

FilterOptions lowPass(const std::string& name, double cutoff) {
  return filterRequest(name, kLowPassFilter, -1.0, -1.0, cutoff);
}

TEST_F(AdaptiveHandoffTest, AddRequest_TakenExactlyOnce) {
  setFrame(Wrench{{0.0, 0.0, 10.0, 0.0, 0.0, 0.0}});
  startThread();
  facade_->addOrRemoveFilter(lowPass("lp", 50.0), Facade::kAddFilter);
  // The next cycle's snapshot takes it, the filter maintenance adds it, and
  // that cycle filters with it. Taken once: the filter keeps its history from
  // cycle to cycle.
  LowPassFilter expected(50.0, kRate);
  for (int k = 0; k < 5; ++k) {
    step();
    EXPECT_DOUBLE_EQ(tcpFilteredWrench()[2], expected.filter(10.0, 2)) << "cycle " << k;
  }
  EXPECT_THAT(thread_->getFilterChain().order(), ElementsAre("lp"));
}

// Requests made back to back, within one cycle: each waits until the thread
// has taken the one before, so none is lost.
TEST_F(AdaptiveHandoffTest, RequestsBackToBack_EachWaitsForTheTakeAndAllAreServed) {
  startThread();
  ASSERT_TRUE(facade_->addOrRemoveFilter(lowPass("first", 50.0), Facade::kAddFilter));
  auto second = std::async(std::launch::async, [&] {
    return facade_->addOrRemoveFilter(lowPass("second", 50.0), Facade::kAddFilter) &&
           facade_->addOrRemoveFilter(lowPass("first", 0.0), Facade::kRemoveFilter);
  });
  while (second.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    step();
  EXPECT_TRUE(second.get());
  step();
  EXPECT_THAT(thread_->getFilterChain().order(), ElementsAre("second"));
}

TEST_F(AdaptiveHandoffTest, HistoryReset_ClearsOnlySystemFilterAndFlagReadsFalse) {
  // Chain: a low-pass; then the system filter with the facade's parameters.
  facade_->addOrRemoveFilter(lowPass("lp", 100.0), Facade::kAddFilter);
  facade_->setEnabledSystemFilters(true);
  facade_->setSystemFilterParams(20.0, 5.0, -7.0);
  setFrame(Wrench{{10.0, 0.0, 0.0, 0.0, 0.0, 0.0}});
  startThread();
  LowPassFilter chain_lp(100.0, kRate);
  HighPassRateLimiter system(20.0, 5.0, -7.0, kRate);
  for (int k = 0; k < 3; ++k) {
    step();
    EXPECT_DOUBLE_EQ(tcpFilteredWrench()[0], system.filter(chain_lp.filter(10.0, 0), 0.0, 0));
  }

  facade_->resetFilters();
  // The next cycle's snapshot takes the reset: the system filter starts
  // afresh in that cycle, the chain's low-pass keeps its history.
  HighPassRateLimiter fresh_system(20.0, 5.0, -7.0, kRate);
  for (int k = 0; k < 3; ++k) {
    step();
    EXPECT_DOUBLE_EQ(tcpFilteredWrench()[0], fresh_system.filter(chain_lp.filter(10.0, 0), 0.0, 0));
  }
  EXPECT_FALSE(read(&ss::Objects::reset_filter_history));
}

}  // namespace
}  // namespace adaptive_test
}  // namespace vorel_device
