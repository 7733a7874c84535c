// RateLimiter and HighPassRateLimiter. Expected values were computed with a
// separate Python script that runs the clamping steps (and, for the high-pass
// rate limiter, the low-pass difference equation) in double precision.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "filters/high_pass_rate_limiter.h"
#include "filters/rate_limiter.h"
#include "tests/filters/filter_test_util.h"

namespace vorel_device {
namespace {

using filter_test::variedWrench;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(RateLimiter_Step, Rates50At500Hz_RisesByTenthAndReachesTenAt101stSample) {
  RateLimiter limiter(50.0, -50.0, 500.0);
  EXPECT_EQ(limiter.getSampleTime(), 0.002);
  EXPECT_EQ(limiter.type(), 3);
  EXPECT_EQ(limiter.filter(10.0, 1), 0.1);
  EXPECT_EQ(limiter.filter(10.0, 1), 0.2);
  EXPECT_EQ(limiter.filter(10.0, 1), 0.30000000000000004);
  int first_ten = 0;
  double y = 0.0;
  for (int n = 4; n <= 200 && first_ten == 0; ++n) {
    y = limiter.filter(10.0, 1);
    if (y == 10.0) {
      first_ten = n;
    } else {
      ASSERT_LT(y, 10.0);
    }
  }
  EXPECT_EQ(first_ten, 101);
  // Fed 0 afterwards it falls by 0.1 per sample.
  EXPECT_EQ(limiter.filter(0.0, 1), 9.9);
  EXPECT_EQ(limiter.filter(0.0, 1), 9.8);
  EXPECT_EQ(limiter.filter(0.0, 1), 9.700000000000001);
}

TEST(RateLimiter_Step, DefaultRecordRates_OutputZeroForEveryInput) {
  RateLimiter limiter(FilterOptions{}, 500.0);
  for (double x : {5.0, -5.0, 1e9}) {
    EXPECT_EQ(limiter.filter(x, 0), 0.0);
  }
}

TEST(RateLimiter_Step, FallingRateAboveRisingRate_RisesByRisingStepWhateverInput) {
  RateLimiter limiter(10.0, 20.0, 500.0);
  EXPECT_EQ(limiter.filter(-5.0, 0), 0.02);
  EXPECT_EQ(limiter.filter(100.0, 0), 0.04);
  EXPECT_EQ(limiter.filter(-5.0, 0), 0.06);
}

TEST(RateLimiter_Step, NaNSample_GivesNaNThenNextSamplePassesUnlimited) {
  RateLimiter limiter(50.0, -50.0, 500.0);
  EXPECT_EQ(limiter.filter(10.0, 0), 0.1);
  EXPECT_TRUE(std::isnan(limiter.filter(kNaN, 0)));
  EXPECT_EQ(limiter.filter(7.0, 0), 7.0);  // unlimited
  EXPECT_EQ(limiter.filter(8.0, 0), 7.1);  // limiting resumes from 7
}

TEST(RateLimiter_Options, FromRecordAndUpdate_RatesChangeHistoryStays) {
  FilterOptions options;
  options.type = kRateLimiter;
  options.rising_rate = 50.0;
  options.falling_rate = -50.0;
  options.cutoff_frequency = 1e9;  // ignored
  RateLimiter limiter(options, 500.0);
  for (int n = 0; n < 3; ++n) {
    limiter.filter(10.0, 0);  // 0.30000000000000004
  }
  limiter.updateParams(100.0, -100.0);
  EXPECT_EQ(limiter.getRisingRate(), 100.0);
  EXPECT_EQ(limiter.getSampleTime(), 0.002);
  EXPECT_EQ(limiter.filter(10.0, 0), 0.5);
  limiter.clearHistory();
  EXPECT_EQ(limiter.filter(10.0, 0), 0.2);
}

TEST(RateLimiter_Axes, WholeWrenchAndTwoInputForms_PerAxisStateBaseTwoInput) {
  RateLimiter whole(40.0, -30.0, 250.0);
  RateLimiter per_axis(40.0, -30.0, 250.0);
  Filter& base = whole;
  const Wrench x0 = variedWrench(2);
  EXPECT_EQ(base.filter(x0, variedWrench(5))[3], x0[3]);  // base: first input, no state
  EXPECT_EQ(base.filter(4.0, 1.0, 3), 4.0);
  for (int n = 0; n < 60; ++n) {
    const Wrench x = variedWrench(n);
    const Wrench y = whole.filter(x);
    for (int axis = 0; axis < 6; ++axis) {
      ASSERT_EQ(y[axis], per_axis.filter(x[axis], axis)) << "sample " << n << " axis " << axis;
    }
  }
}

TEST(HighPassRateLimiter_Step, Step10FromRest_SlowPartPlusLimitedRest) {
  HighPassRateLimiter hprl(50.0, 50.0, -50.0, 500.0);
  EXPECT_EQ(hprl.type(), 4);
  // Slow parts 3.8586954509503757, 6.228437843582239, 7.683768817176819 plus
  // rate-limited parts 0.1, 0.2, 0.30000000000000004.
  EXPECT_EQ(hprl.filter(10.0, 0.0, 2), 3.958695450950376);
  EXPECT_EQ(hprl.filter(10.0, 0.0, 2), 6.428437843582239);
  EXPECT_EQ(hprl.filter(10.0, 0.0, 2), 7.983768817176819);
}

TEST(HighPassRateLimiter_Step, Reference_PassesThroughAndShiftsTheDeviation) {
  HighPassRateLimiter shifted(50.0, 50.0, -50.0, 500.0);
  EXPECT_EQ(shifted.filter(12.0, 2.0, 0), 5.958695450950376);

  HighPassRateLimiter at_reference(50.0, 50.0, -50.0, 500.0);
  for (double r : {7.5, -3.25, 1e6}) {
    EXPECT_EQ(at_reference.filter(r, r, 1), r);
  }
}

TEST(HighPassRateLimiter_Axes, WholeWrench_EqualsSixPerAxisCalls) {
  HighPassRateLimiter whole(20.0, 80.0, -60.0, 500.0);
  HighPassRateLimiter per_axis(20.0, 80.0, -60.0, 500.0);
  for (int n = 0; n < 60; ++n) {
    const Wrench x = variedWrench(n);
    const Wrench r = variedWrench(n + 17);
    const Wrench y = whole.filter(x, r);
    for (int axis = 0; axis < 6; ++axis) {
      ASSERT_EQ(y[axis], per_axis.filter(x[axis], r[axis], axis))
          << "sample " << n << " axis " << axis;
    }
  }
}

TEST(HighPassRateLimiter_Params, UpdateAboveHalfRate_AcceptedSilentlyKeepsHistory) {
  FilterOptions options;
  options.type = kHighPassRateLimiter;
  options.cutoff_frequency = 50.0;
  options.rising_rate = 50.0;
  options.falling_rate = -50.0;
  options.reject_frequency = 1e9;  // ignored
  HighPassRateLimiter hprl(options, 500.0);
  for (int n = 0; n < 3; ++n) {
    hprl.filter(10.0, 0.0, 0);
  }
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  hprl.updateParams(400.0, 100.0, -100.0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(hprl.getCutoffFrequency(), 400.0);
  EXPECT_EQ(hprl.lowPass().getCutoffFrequency(), 400.0);
  EXPECT_EQ(hprl.lowPass().getA0(), 0.834067535971978);
  EXPECT_EQ(hprl.rateLimiter().getRisingRate(), 100.0);
  EXPECT_EQ(hprl.rateLimiter().getFallingRate(), -100.0);
  // With the old history kept the output is 10; a restart would give 8.54...
  EXPECT_EQ(hprl.filter(10.0, 0.0, 0), 10.0);
}

TEST(HighPassRateLimiter_History, ClearHistory_RestartsBothInnerFilters) {
  HighPassRateLimiter hprl(50.0, 50.0, -50.0, 500.0);
  for (int n = 0; n < 40; ++n) {
    hprl.filter(variedWrench(n), variedWrench(n + 3));
  }
  hprl.clearHistory();
  EXPECT_EQ(hprl.filter(10.0, 0.0, 5), 3.958695450950376);
  EXPECT_EQ(hprl.filter(10.0, 0.0, 5), 6.428437843582239);
}

}  // namespace
}  // namespace vorel_device
