// LowPassFilter: coefficients, step, frequency response, per-axis state,
// parameter changes. Expected values were computed with a separate Python
// script that evaluates the difference equation in double precision:
//   w = 2*pi*fc/fs; a0 = w/(w+1); b1 = 1-a0; y = (0*x_prev + a0*x) + b1*y_prev
#include "filters/low_pass_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "tests/filters/filter_test_util.h"

namespace vorel_device {
namespace {

using filter_test::kPi;
using filter_test::steadyStateGain;
using filter_test::variedWrench;

constexpr double kA0At50Hz = 0.38586954509503757;  // 50 Hz at 500 Hz
constexpr double kB1At50Hz = 0.6141304549049624;

TEST(LowPassFilter_Step, At50HzAnd500Hz_GoldenCoefficientsAndOutputs) {
  LowPassFilter lp(50.0, 500.0);
  EXPECT_EQ(lp.getA0(), kA0At50Hz);
  EXPECT_EQ(lp.getA1(), 0.0);
  EXPECT_EQ(lp.getB1(), kB1At50Hz);
  EXPECT_EQ(lp.getCutoffFrequency(), 50.0);
  EXPECT_EQ(lp.getSamplingRate(), 500.0);
  EXPECT_EQ(lp.type(), 1);
  // From rest: a0 * 10 first, then the difference equation.
  EXPECT_EQ(lp.filter(10.0, 0), 3.8586954509503757);
  EXPECT_EQ(lp.filter(10.0, 0), 6.228437843582239);
  EXPECT_EQ(lp.filter(10.0, 0), 7.683768817176819);
}

TEST(LowPassFilter_Step, ConstantInput_SettlesToSameConstant) {
  LowPassFilter lp(5.0, 500.0);
  double y = 0.0;
  for (int n = 0; n < 2000; ++n) {
    y = lp.filter(-42.5, 3);
  }
  EXPECT_NEAR(y, -42.5, 1e-9);
}

TEST(LowPassFilter_Response, SineAtCutoff_GainOfTransferFunction) {
  // H(z) = a0 / (1 - b1 z^-1) evaluated at the cut-off on the unit circle;
  // the Python script gives 0.6231226289536735 for the same point.
  const double omega = 2.0 * kPi * 50.0 / 500.0;
  const double expected =
      std::abs(kA0At50Hz / (1.0 - kB1At50Hz * std::exp(std::complex<double>(0.0, -omega))));
  EXPECT_NEAR(expected, 0.6231226289536735, 1e-12);

  LowPassFilter lp(50.0, 500.0);
  EXPECT_NEAR(steadyStateGain(lp, 50.0, 500.0, 1), expected, 1e-9);
}

TEST(LowPassFilter_Options, FromRecord_ReadsOnlyCutoff) {
  FilterOptions options;
  options.type = kLowPassFilter;
  options.cutoff_frequency = 50.0;
  options.reject_frequency = 1e9;  // fields of other filters are ignored
  options.bandwidth = -3.0;
  options.rising_rate = 7.0;
  LowPassFilter lp(options, 500.0);
  EXPECT_EQ(lp.getA0(), kA0At50Hz);
  EXPECT_EQ(lp.getB1(), kB1At50Hz);
}

TEST(LowPassFilter_Axes, StepOnOneAxisAndWholeWrench_IndependentAndEqualToPerAxisCalls) {
  LowPassFilter whole(30.0, 250.0);
  LowPassFilter per_axis(30.0, 250.0);
  Wrench step;
  step[2] = 10.0;
  const Wrench y0 = whole.filter(step);
  for (int axis = 0; axis < 6; ++axis) {
    EXPECT_EQ(y0[axis], axis == 2 ? whole.getA0() * 10.0 : 0.0) << "axis " << axis;
    per_axis.filter(step[axis], axis);
  }
  for (int n = 0; n < 50; ++n) {
    const Wrench x = variedWrench(n);
    const Wrench y = whole.filter(x);
    for (int axis = 0; axis < 6; ++axis) {
      ASSERT_EQ(y[axis], per_axis.filter(x[axis], axis)) << "sample " << n << " axis " << axis;
    }
  }
}

// Records the order of per-axis calls that the whole-wrench form makes.
class RecordingLowPass : public LowPassFilter {
 public:
  using LowPassFilter::filter;
  using LowPassFilter::LowPassFilter;
  double filter(double sample, int axis) override {
    axes.push_back(axis);
    return LowPassFilter::filter(sample, axis) + 1000.0;
  }
  std::vector<int> axes;
};

TEST(LowPassFilter_Axes, WholeWrench_CallsVirtualPerAxisFormInAxisOrder) {
  RecordingLowPass lp(50.0, 500.0);
  const Wrench y = lp.filter(Wrench{});
  EXPECT_EQ(lp.axes, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  for (int axis = 0; axis < 6; ++axis) {
    EXPECT_EQ(y[axis], 1000.0);
  }
}

TEST(LowPassFilter_TwoInput, BothForms_ReturnFirstInputAndTouchNoState) {
  LowPassFilter lp(50.0, 500.0);
  Filter& base = lp;
  EXPECT_EQ(base.filter(12.5, -3.0, 4), 12.5);
  const Wrench x = variedWrench(3);
  const Wrench y = base.filter(x, variedWrench(9));
  for (int axis = 0; axis < 6; ++axis) {
    EXPECT_EQ(y[axis], x[axis]);
  }
  // Still at rest: the first output is a0 * x on every axis.
  EXPECT_EQ(lp.filter(10.0, 4), 3.8586954509503757);
  EXPECT_EQ(lp.filter(10.0, 0), 3.8586954509503757);
}

TEST(LowPassFilter_Params, UpdateParams_KeepsHistory) {
  LowPassFilter lp(50.0, 500.0);
  lp.filter(10.0, 0);
  lp.filter(10.0, 0);
  lp.filter(10.0, 0);  // y = 7.683768817176819
  lp.updateParams(20.0);
  EXPECT_EQ(lp.getCutoffFrequency(), 20.0);
  EXPECT_EQ(lp.getA0(), 0.20084864266483685);
  EXPECT_EQ(lp.getB1(), 0.7991513573351632);
  // Continues from 7.68..., not from zero (a restart would give 2.008...).
  EXPECT_EQ(lp.filter(10.0, 0), 8.148980706344826);
}

TEST(LowPassFilter_History, ClearHistory_RestartsAllAxesKeepsParameters) {
  LowPassFilter lp(50.0, 500.0);
  for (int n = 0; n < 20; ++n) {
    lp.filter(variedWrench(n));
  }
  lp.clearHistory();
  EXPECT_EQ(lp.getA0(), kA0At50Hz);
  Wrench ten;
  for (int axis = 0; axis < 6; ++axis) {
    ten[axis] = 10.0;
  }
  const Wrench y = lp.filter(ten);
  for (int axis = 0; axis < 6; ++axis) {
    EXPECT_EQ(y[axis], 3.8586954509503757) << "axis " << axis;
  }
}

}  // namespace
}  // namespace vorel_device
