// NotchFilter: coefficients, frequency response, per-axis state, parameter
// changes, and the pass-through at 0 Hz. Expected values were computed with a
// separate Python script that evaluates the coefficient formulas and the
// difference equation in double precision, and |H(e^jw)| of
// H(z) = (a0 + a1 z^-1 + a2 z^-2) / (1 - b1 z^-1 - b2 z^-2).
#include "filters/notch_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/filters/filter_test_util.h"

namespace vorel_device {
namespace {

using filter_test::steadyStateGain;
using filter_test::variedWrench;

TEST(NotchFilter_Coefficients, At50HzWidth10HzAnd500Hz_MatchGoldenValues) {
  NotchFilter notch(50.0, 10.0, 500.0);
  // R = 1 - 3 * 10 / 500 = 0.94; b2 = -R^2.
  EXPECT_EQ(notch.getA0(), 0.9494249223594998);
  EXPECT_EQ(notch.getA1(), -1.5362017941439008);
  EXPECT_EQ(notch.getA2(), 0.9494249223594998);
  EXPECT_EQ(notch.getB1(), 1.520951949424901);
  EXPECT_NEAR(notch.getB2(), -0.8836, 1e-15);
  EXPECT_NEAR(-notch.getB2(), 0.94 * 0.94, 1e-15);
  EXPECT_FALSE(notch.isPassThrough());
  EXPECT_EQ(notch.type(), 2);
}

TEST(NotchFilter_Step, FromRest_FollowsDifferenceEquation) {
  NotchFilter notch(50.0, 10.0, 500.0);
  EXPECT_EQ(notch.filter(1.0, 5), 0.9494249223594998);
  EXPECT_EQ(notch.filter(1.0, 5), 0.8572528147108657);
  EXPECT_EQ(notch.filter(1.0, 5), 0.8275765288627195);
  double y = 0.0;
  for (int n = 0; n < 2000; ++n) {
    y = notch.filter(1.0, 5);
  }
  EXPECT_NEAR(y, 1.0, 1e-9);  // gain 1 for a constant input
}

TEST(NotchFilter_Response, SinesAroundTheNotch_MeasuredGainsMatchTransferFunction) {
  struct Point {
    double frequency;  // Hz
    double gain;       // |H| from the Python script
  };
  const Point points[] = {
      {40.0, 0.9044855195157154}, {45.0, 0.7184503852724132}, {50.0, 0.0},
      {55.0, 0.7186229823595619}, {60.0, 0.9049268105105017},
  };
  for (const Point& p : points) {
    NotchFilter notch(50.0, 10.0, 500.0);
    const double gain = steadyStateGain(notch, p.frequency, 500.0, 2);
    EXPECT_NEAR(gain, p.gain, 1e-9) << p.frequency << " Hz";
  }
  // The rounded figures an integrator reads off a plot.
  NotchFilter at45(50.0, 10.0, 500.0);
  EXPECT_NEAR(steadyStateGain(at45, 45.0, 500.0, 0), 0.718, 1e-3);
  NotchFilter at60(50.0, 10.0, 500.0);
  EXPECT_NEAR(steadyStateGain(at60, 60.0, 500.0, 0), 0.904, 1e-3);
}

TEST(NotchFilter_Range, RejectOfExactlyHalfTheRate_Accepted) {
  NotchFilter notch(250.0, 10.0, 500.0);
  EXPECT_EQ(notch.getRejectFrequency(), 250.0);
  EXPECT_FALSE(notch.isPassThrough());
  // c = -1: K = (1 + 2R + R^2) / 4, a1 = 2K; a constant still passes with gain 1.
  double y = 0.0;
  for (int n = 0; n < 2000; ++n) {
    y = notch.filter(3.0, 0);
  }
  EXPECT_NEAR(y, 3.0, 1e-9);
}

TEST(NotchFilter_Options, FromRecord_ReadsOnlyRejectAndBandwidth) {
  FilterOptions options;
  options.type = kNotchFilter;
  options.reject_frequency = 50.0;
  options.bandwidth = 10.0;
  options.cutoff_frequency = 1e9;  // fields of other filters are ignored
  options.falling_rate = -4.0;
  NotchFilter notch(options, 500.0);
  EXPECT_EQ(notch.getA0(), 0.9494249223594998);
  EXPECT_EQ(notch.getB1(), 1.520951949424901);
}

TEST(NotchFilter_Axes, StepOnOneAxisAndWholeWrench_IndependentAndEqualToPerAxisCalls) {
  NotchFilter whole(50.0, 10.0, 500.0);
  NotchFilter per_axis(50.0, 10.0, 500.0);
  Wrench step;
  step[4] = 1.0;
  const Wrench y = whole.filter(step);
  for (int axis = 0; axis < 6; ++axis) {
    EXPECT_EQ(y[axis], axis == 4 ? 0.9494249223594998 : 0.0) << "axis " << axis;
    per_axis.filter(step[axis], axis);
  }
  for (int n = 0; n < 50; ++n) {
    const Wrench x = variedWrench(n);
    const Wrench yw = whole.filter(x);
    for (int axis = 0; axis < 6; ++axis) {
      ASSERT_EQ(yw[axis], per_axis.filter(x[axis], axis)) << "sample " << n << " axis " << axis;
    }
  }
}

TEST(NotchFilter_TwoInput, BothForms_ReturnFirstInputAndTouchNoState) {
  NotchFilter notch(50.0, 10.0, 500.0);
  Filter& base = notch;
  EXPECT_EQ(base.filter(-8.25, 99.0, 1), -8.25);
  const Wrench x = variedWrench(7);
  const Wrench y = base.filter(x, variedWrench(1));
  for (int axis = 0; axis < 6; ++axis) {
    EXPECT_EQ(y[axis], x[axis]);
  }
  EXPECT_EQ(notch.filter(1.0, 1), 0.9494249223594998);  // still at rest
}

TEST(NotchFilter_Params, UpdateParams_KeepsHistoryAndClearHistoryRestarts) {
  NotchFilter notch(50.0, 10.0, 500.0);
  for (int n = 0; n < 3; ++n) {
    notch.filter(1.0, 0);
  }
  notch.updateParams(40.0, 20.0);
  EXPECT_EQ(notch.getRejectFrequency(), 40.0);
  EXPECT_EQ(notch.getBandwidth(), 20.0);
  EXPECT_EQ(notch.getA0(), 0.9382084788616979);
  EXPECT_EQ(notch.getA1(), -1.6443167146005957);
  EXPECT_EQ(notch.getB1(), 1.5422997568772);
  EXPECT_EQ(notch.filter(1.0, 0), 0.8446147426729551);  // continues from the old history

  notch.clearHistory();
  EXPECT_EQ(notch.getRejectFrequency(), 40.0);
  EXPECT_EQ(notch.filter(1.0, 0), 0.9382084788616979);  // a0 * 1 from rest
}

TEST(NotchFilter_ZeroReject, AnyInput_PassesUnchangedAndSaysSoOnce) {
  testing::internal::CaptureStdout();
  NotchFilter notch(0.0, 10.0, 500.0);
  EXPECT_TRUE(notch.isPassThrough());
  const double inputs[] = {1.0, -2.5, 1e300, 0.0, std::numeric_limits<double>::quiet_NaN(),
                           7.0, 3.0};
  for (double x : inputs) {
    const double y = notch.filter(x, 3);
    if (std::isnan(x)) {
      EXPECT_TRUE(std::isnan(y));
    } else {
      EXPECT_EQ(y, x);
      EXPECT_TRUE(std::isfinite(y));
    }
  }
  notch.updateParams(0.0, 5.0);  // still 0 Hz: no second line
  EXPECT_EQ(notch.filter(Wrench{})[0], 0.0);
  const std::string once = testing::internal::GetCapturedStdout();
  EXPECT_EQ(once,
            "Notch filter: reject frequency 0.00 Hz at sampling rate 500.00 Hz is a notch at 0 "
            "Hz, passing the signal unchanged\n");
}

// Each filter object reports once; a later real notch starts from the history
// that the identity left.
TEST(NotchFilter_ZeroReject, UpdateToRealNotch_ContinuesFromIdentityHistory) {
  testing::internal::CaptureStdout();
  NotchFilter notch(0.0, 10.0, 500.0);
  NotchFilter second(0.0, 20.0, 250.0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Notch filter: reject frequency 0.00 Hz at sampling rate 500.00 Hz is a notch at 0 "
            "Hz, passing the signal unchanged\n"
            "Notch filter: reject frequency 0.00 Hz at sampling rate 250.00 Hz is a notch at 0 "
            "Hz, passing the signal unchanged\n");
  for (double x : {1.0, 2.0, 3.0}) {
    EXPECT_EQ(notch.filter(x, 0), x);
  }
  notch.updateParams(50.0, 10.0);
  EXPECT_FALSE(notch.isPassThrough());
  // History x1 = y1 = 3, x2 = y2 = 2 as an identity filter leaves it.
  EXPECT_EQ(notch.filter(4.0, 0), 3.8835999999999995);
}

}  // namespace
}  // namespace vorel_device
