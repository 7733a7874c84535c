// The filter chain: order, replacement, removal, messages, the history each
// filter keeps, and the process exits on bad requests. Expected outputs
// come from separate filter objects fed the same samples.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "adaptive/filter_chain.h"

namespace vorel_device {
namespace {

using testing::ElementsAre;
using testing::ExitedWithCode;
using testing::HasSubstr;

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

// Runs `fn` and returns what it printed on standard output.
template <class Fn>
std::string stdoutOf(Fn fn) {
  testing::internal::CaptureStdout();
  fn();
  return testing::internal::GetCapturedStdout();
}

TEST(FilterChain, ReaddedName_MovesToEndFreshWhileOthersKeepHistory) {
  FilterChain chain;
  chain.add(lowPass("A", 50.0), kRate);
  chain.add(notch("B", 50.0, 10.0), kRate);
  // Both filters build up history on axis 2.
  LowPassFilter a_old(50.0, kRate);
  NotchFilter b_alone(50.0, 10.0, kRate);
  for (double x : {4.0, -1.0, 2.5}) {
    EXPECT_DOUBLE_EQ(chain.apply(x, 0.0, 2), b_alone.filter(a_old.filter(x, 2), 2));
  }

  chain.add(rateLimiter("A", 50.0, -50.0), kRate);
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

TEST(FilterChain, RemoveTwice_SecondPrintsMessageOnceAndChangesNothing) {
  FilterChain chain;
  chain.add(lowPass("A", 20.0), kRate);
  chain.add(notch("B", 50.0, 10.0), kRate);
  EXPECT_EQ(stdoutOf([&] { chain.remove(named("B")); }), "");
  EXPECT_THAT(chain.order(), ElementsAre("A"));
  EXPECT_EQ(chain.find("B"), nullptr);
  EXPECT_EQ(stdoutOf([&] { chain.remove(named("B")); }),
            "No filter such filter found, doing nothing\n");
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
  EXPECT_EQ(stdoutOf([&] { chain.remove(named("all")); }), "");
  EXPECT_TRUE(chain.empty());
  EXPECT_EQ(stdoutOf([&] { chain.remove(named("all")); }), "");
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
  EXPECT_EQ(stdoutOf([&] { chain.remove(named(forty)); }), "");
  EXPECT_THAT(chain.order(), ElementsAre(forty.substr(0, 39)));
}

// A request the chain cannot serve ends the process with status 255 and
// says why (on standard output, sent to standard error in the child, where
// the death test reads it); the chain of the parent is untouched.
struct FatalRequest {
  const char* name;
  FilterOptions options;
  const char* message;
};

class FilterChainDeathTest : public testing::TestWithParam<FatalRequest> {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(FilterChainDeathTest, Add_MessageAndExitStatus255) {
  FilterChain chain;
  chain.add(lowPass("kept", 10.0), kRate);
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        chain.add(GetParam().options, kRate);
      },
      ExitedWithCode(255), HasSubstr(GetParam().message));
  EXPECT_THAT(chain.order(), ElementsAre("kept"));
}

FilterOptions withType(FilterOptions o, int type) {
  o.type = type;
  return o;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, FilterChainDeathTest,
    testing::Values(FatalRequest{"TypeZero", withType(lowPass("x", 10.0), 0),
                                 "Unknown filter type, shutting down\n"},
                    FatalRequest{"TypeFive", withType(lowPass("all", 10.0), 5),
                                 "Unknown filter type, shutting down\n"},
                    // A filter's own range check ends the process too.
                    FatalRequest{"HighPassNegativeCutoff",
                                 request("hp", kHighPassRateLimiter, -1.0, -1.0, -1.0, 1.0, -1.0),
                                 "[DIALOG] Low-Pass Filter Error\n"}),
    [](const testing::TestParamInfo<FatalRequest>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorel_device
