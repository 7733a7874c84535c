// The filter chain: order, replacement, removal, the history each filter
// keeps, and the requests it refuses (their lines are written by the
// force-control thread: tests/adaptive/cycle_path_test.cc). Expected outputs
// come from separate filter objects fed the same samples.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "adaptive/filter_chain.h"

namespace vorel_device {
namespace {

using testing::ElementsAre;

constexpr double kRate = 500.0;  // Hz

// A request as addFilter sends it: parameters in the order reject
// frequency, bandwidth, cut-off frequency (Hz), rising, falling rate (N/s).
FilterOptions request(const std::string& name, int type, double reject = -1.0,
                      double bandwidth = -1.0, double cutoff = -1.0, double rising = 0.0,
                      double falling = 0.0) {
  FilterOptions o{{}, type, reject, bandwidth, cutoff, rising, falling};
  o.setName(name);
  return o;
}
FilterOptions named(const std::string& name) {
  return request(name, 0);
}
FilterOptions lowPass(const std::string& name, double cutoff) {
  return request(name, kLowPassFilter, -1.0, -1.0, cutoff);
}
FilterOptions notch(const std::string& name, double reject, double bandwidth) {
  return request(name, kNotchFilter, reject, bandwidth);
}
FilterOptions rateLimiter(const std::string& name, double rising, double falling) {
  return request(name, kRateLimiter, -1.0, -1.0, -1.0, rising, falling);
}

using Outcome = FilterChain::Outcome;

// The line the force-control thread writes for `outcome` of `request`; "" for none.
std::string lineOf(Outcome outcome, const FilterOptions& request) {
  char text[240];
  return FilterChain::line(outcome, request, kRate, text, sizeof text) ? text : "";
}

TEST(FilterChain, ReaddedName_MovesToEndFreshWhileOthersKeepHistory) {
  FilterChain chain;
  EXPECT_EQ(chain.add(lowPass("A", 50.0), kRate), Outcome::kAdded);
  chain.add(notch("B", 50.0, 10.0), kRate);
  // Both filters build up history on axis 2.
  LowPassFilter a_old(50.0, kRate);
  NotchFilter b_alone(50.0, 10.0, kRate);
  for (double x : {4.0, -1.0, 2.5}) {
    EXPECT_DOUBLE_EQ(chain.apply(x, 0.0, 2), b_alone.filter(a_old.filter(x, 2), 2));
  }

  EXPECT_EQ(chain.add(rateLimiter("A", 50.0, -50.0), kRate), Outcome::kReplaced);
  EXPECT_THAT(chain.order(), ElementsAre("B", "A"));
  ASSERT_NE(chain.find("A"), nullptr);
  EXPECT_EQ(chain.find("A")->type(), kRateLimiter);
  EXPECT_EQ(chain.size(), 2u);

  RateLimiter a_new(50.0, -50.0, kRate);
  for (double x : {10.0, 10.0, -3.0}) {
    const double expected = a_new.filter(b_alone.filter(x, 2), 2);
    EXPECT_DOUBLE_EQ(chain.apply(x, 0.0, 2), expected);
  }
}

TEST(FilterChain, RemoveTwice_SecondRefusedWithItsLineAndChangesNothing) {
  FilterChain chain;
  chain.add(lowPass("A", 20.0), kRate);
  chain.add(notch("B", 50.0, 10.0), kRate);
  EXPECT_EQ(chain.remove(named("B")), Outcome::kRemoved);
  EXPECT_THAT(chain.order(), ElementsAre("A"));
  EXPECT_EQ(chain.find("B"), nullptr);
  EXPECT_EQ(chain.remove(named("B")), Outcome::kNotFound);
  EXPECT_THAT(chain.order(), ElementsAre("A"));
  ASSERT_NE(chain.find("A"), nullptr);
}

TEST(FilterChain, FilterNamedAll_AppliedAndRemovedSilentlyOnlyWithWholeChain) {
  FilterChain chain;
  chain.add(rateLimiter("all", 50.0, -50.0), kRate);
  chain.add(lowPass("other", 100.0), kRate);
  EXPECT_THAT(chain.order(), ElementsAre("all", "other"));
  RateLimiter rl(50.0, -50.0, kRate);
  LowPassFilter lp(100.0, kRate);
  EXPECT_DOUBLE_EQ(chain.apply(10.0, 0.0, 0), lp.filter(rl.filter(10.0, 0), 0));
  EXPECT_EQ(chain.remove(named("all")), Outcome::kRemoved);
  EXPECT_TRUE(chain.empty());
  EXPECT_EQ(chain.remove(named("all")), Outcome::kRemoved);
  EXPECT_EQ(lineOf(Outcome::kRemoved, named("all")), "");
  EXPECT_EQ(chain.apply(3.0, 0.0, 0), 3.0);
}

TEST(FilterChain, AppliedInOrderOfAdditionNotOfNames) {
  FilterChain chain;
  chain.add(rateLimiter("Z", 50.0, -50.0), kRate);  // 0.1 per sample at 500 Hz
  chain.add(lowPass("A", 50.0), kRate);
  EXPECT_THAT(chain.order(), ElementsAre("Z", "A"));
  // Z first: the limiter passes 0.1, the low-pass makes a0 x 0.1 of it
  // (a0 = 0.38586954509503757 for 50 Hz at 500 Hz). A first would give 0.1.
  EXPECT_NEAR(chain.apply(10.0, 0.0, 5), 0.038586954509503757, 1e-15);
}

TEST(FilterChain, FortyByteName_SameKeyForAddAndRemove) {
  const std::string forty = "0123456789012345678901234567890123456789";
  ASSERT_EQ(forty.size(), 40u);
  FilterChain chain;
  chain.add(lowPass(forty, 20.0), kRate);
  chain.add(lowPass(forty.substr(0, 39), 20.0), kRate);  // a different, shorter key
  EXPECT_THAT(chain.order(), ElementsAre(forty, forty.substr(0, 39)));
  EXPECT_EQ(chain.remove(named(forty)), Outcome::kRemoved);
  EXPECT_THAT(chain.order(), ElementsAre(forty.substr(0, 39)));
}

TEST(FilterChain, FullChain_NewNameRefusedReplacementAccepted) {
  FilterChain chain;
  std::vector<std::string> names;
  for (int k = 0; k < 32; ++k) {
    names.push_back("f" + std::to_string(k));
    ASSERT_EQ(chain.add(lowPass(names.back(), 10.0), kRate), Outcome::kAdded) << k;
  }
  EXPECT_EQ(chain.add(lowPass("one more", 10.0), kRate), Outcome::kFull);
  EXPECT_EQ(lineOf(Outcome::kFull, lowPass("one more", 10.0)),
            "Filter chain full (32 filters): filter \"one more\" not added");
  EXPECT_EQ(chain.order(), names);
  EXPECT_EQ(chain.add(notch("f3", 50.0, 10.0), kRate), Outcome::kReplaced);
  EXPECT_EQ(chain.size(), 32u);
  EXPECT_EQ(chain.order().back(), "f3");
  EXPECT_EQ(chain.remove(named("f0")), Outcome::kRemoved);
  EXPECT_EQ(chain.add(lowPass("one more", 10.0), kRate), Outcome::kAdded);  // its slot reused
  EXPECT_EQ(chain.order().back(), "one more");
}

// A request the chain refuses leaves it as it was: the kept filter goes on
// with its history (a 10 Hz low-pass fed 10 before and after).
struct RefusedRequest {
  const char* name;
  FilterOptions options;
  Outcome outcome;
};

class FilterChainRefusal : public testing::TestWithParam<RefusedRequest> {};

TEST_P(FilterChainRefusal, Add_RefusedChainUnchanged) {
  FilterChain chain;
  chain.add(lowPass("kept", 10.0), kRate);
  LowPassFilter kept(10.0, kRate);
  EXPECT_DOUBLE_EQ(chain.apply(10.0, 0.0, 1), kept.filter(10.0, 1));
  EXPECT_EQ(chain.add(GetParam().options, kRate), GetParam().outcome);
  EXPECT_THAT(chain.order(), ElementsAre("kept"));
  EXPECT_DOUBLE_EQ(chain.apply(10.0, 0.0, 1), kept.filter(10.0, 1));
}

FilterOptions withType(FilterOptions o, int type) {
  o.type = type;
  return o;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Requests, FilterChainRefusal,
    testing::Values(
        RefusedRequest{"TypeZero", withType(lowPass("kept", 10.0), 0), Outcome::kUnknownType},
        RefusedRequest{"TypeFive", withType(lowPass("all", 10.0), 5), Outcome::kUnknownType},
        RefusedRequest{"HighPassNegativeCutoff",
                       request("kept", kHighPassRateLimiter, -1.0, -1.0, -1.0, 1.0, -1.0),
                       Outcome::kOutOfRange},
        RefusedRequest{"LowPassAboveHalfRate", lowPass("lp", 250.001), Outcome::kOutOfRange},
        RefusedRequest{"NotchNaN", notch("kept", kNaN, 10.0), Outcome::kOutOfRange}),
    [](const testing::TestParamInfo<RefusedRequest>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace vorel_device
