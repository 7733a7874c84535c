// LowPassFilter, NotchFilter, RateLimiter and HighPassRateLimiter: step
// responses, parameter changes, per-axis state, frequency response, and the
// fatal exits of out-of-range frequencies. Expected values were computed with
// a separate Python script that evaluates each filter's difference equation
// (and |H(e^jw)| of its transfer function) in double precision, from the
// formulas in the filters' headers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <vector>

#include "filters/filters.h"

namespace vorel_device {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A varied wrench for sample n: different values on every axis and sample.
Wrench variedWrench(int n) {
  Wrench w;
  for (int axis = 0; axis < 6; ++axis)
    w[axis] = 10.0 * std::sin(0.37 * n + axis) + 3.0 * axis - 0.5 * n;
  return w;
}

Wrench uniform(double v) {
  return Wrench{{v, v, v, v, v, v}};
}

// Request records are written FilterOptions{name, type, reject_frequency,
// bandwidth, cutoff_frequency, rising_rate, falling_rate}; the fields of the
// other filter types hold values that would change the result if read.

// The single-input filters built from a request record at 500 Hz.
std::unique_ptr<Filter> make(const FilterOptions& o) {
  switch (o.type) {
    case kLowPassFilter:
      return std::make_unique<LowPassFilter>(o, 500.0);
    case kNotchFilter:
      return std::make_unique<NotchFilter>(o, 500.0);
    default:
      return std::make_unique<RateLimiter>(o, 500.0);
  }
}

struct GoldenCase {
  const char* name;
  FilterOptions options;
  std::function<void(Filter&)> update;
  double step;  // constant input from rest
  // The first three outputs, the fourth after `update` (history kept), and
  // the first after clearHistory (new parameters).
  double out[5];
};

const GoldenCase kGoldenCases[] = {
    // a0 = w / (w + 1), w = 2 pi 50 / 500; then 20 Hz.
    {"LowPass",
     FilterOptions{{}, kLowPassFilter, 1e9, -3.0, 50.0, 7.0, 3.0},
     [](Filter& f) { static_cast<LowPassFilter&>(f).updateParams(20.0); },
     10.0,
     {3.8586954509503757, 6.228437843582239, 7.683768817176819, 8.148980706344826,
      2.0084864266483686}},
    // R = 0.94; then 40 Hz reject, 20 Hz wide.
    {"Notch",
     FilterOptions{{}, kNotchFilter, 50.0, 10.0, 1e9, 7.0, -4.0},
     [](Filter& f) { static_cast<NotchFilter&>(f).updateParams(40.0, 20.0); },
     1.0,
     {0.9494249223594998, 0.8572528147108657, 0.8275765288627195, 0.8446147426729551,
      0.9382084788616979}},
    // 0.1 per 2 ms sample; then 0.2.
    {"RateLimiter",
     FilterOptions{{}, kRateLimiter, 1e9, -3.0, 1e9, 50.0, -50.0},
     [](Filter& f) { static_cast<RateLimiter&>(f).updateParams(100.0, -100.0); },
     10.0,
     {0.1, 0.2, 0.30000000000000004, 0.5, 0.2}},
};

void PrintTo(const GoldenCase& c, std::ostream* out) {
  *out << c.name;
}

class FilterGoldenTest : public testing::TestWithParam<GoldenCase> {};

TEST_P(FilterGoldenTest, StepFromRest_GoldenOutputsThenSettlesAtInput) {
  const GoldenCase& c = GetParam();
  auto filter = make(c.options);
  EXPECT_EQ(filter->type(), c.options.type);
  for (int n = 0; n < 3; ++n)
    EXPECT_EQ(filter->filter(c.step, 5), c.out[n]);
  double y = 0.0;
  for (int n = 0; n < 2000; ++n)
    y = filter->filter(c.step, 5);
  EXPECT_NEAR(y, c.step, 1e-9);  // gain 1 for a constant input
}

TEST_P(FilterGoldenTest, UpdateThenClearHistory_KeepsHistoryThenRestartsEveryAxis) {
  const GoldenCase& c = GetParam();
  auto filter = make(c.options);
  for (int n = 0; n < 3; ++n)
    filter->filter(uniform(c.step));
  c.update(*filter);
  const Wrench continued = filter->filter(uniform(c.step));
  filter->clearHistory();
  const Wrench restarted = filter->filter(uniform(c.step));
  for (int axis = 0; axis < 6; ++axis) {
    EXPECT_EQ(continued[axis], c.out[3]) << "axis " << axis;
    EXPECT_EQ(restarted[axis], c.out[4]) << "axis " << axis;
  }
}

TEST_P(FilterGoldenTest, WholeWrench_AxesIndependentAndEqualToPerAxisCalls) {
  auto whole = make(GetParam().options);
  auto per_axis = make(GetParam().options);
  Wrench step;
  step[2] = GetParam().step;
  const Wrench y0 = whole->filter(step);
  for (int axis = 0; axis < 6; ++axis) {
    EXPECT_EQ(y0[axis], axis == 2 ? GetParam().out[0] : 0.0) << "axis " << axis;
    per_axis->filter(step[axis], axis);
  }
  for (int n = 0; n < 50; ++n) {
    const Wrench x = variedWrench(n);
    const Wrench y = whole->filter(x);
    for (int axis = 0; axis < 6; ++axis)
      ASSERT_EQ(y[axis], per_axis->filter(x[axis], axis)) << "sample " << n << " axis " << axis;
  }
}

INSTANTIATE_TEST_SUITE_P(LowPassNotchRateLimiter, FilterGoldenTest,
                         testing::ValuesIn(kGoldenCases));

struct ResponseCase {
  const char* name;
  FilterOptions options;
  double frequency;  // Hz, of a unit sine sampled at 500 Hz
  double gain;       // |H(e^jw)| at that frequency
};

const FilterOptions kNotch50{{}, kNotchFilter, 50.0, 10.0, -1, 0, 0};  // 10 Hz wide

const ResponseCase kResponseCases[] = {
    {"LowPass50HzAt50Hz", FilterOptions{{}, kLowPassFilter, -1, -1, 50.0, 0, 0}, 50.0,
     0.6231226289536735},
    {"Notch50HzAt40Hz", kNotch50, 40.0, 0.9044855195157154},
    {"Notch50HzAt45Hz", kNotch50, 45.0, 0.7184503852724132},
    {"Notch50HzAt50Hz", kNotch50, 50.0, 0.0},
    {"Notch50HzAt55Hz", kNotch50, 55.0, 0.7186229823595619},
    {"Notch50HzAt60Hz", kNotch50, 60.0, 0.9049268105105017},
};

void PrintTo(const ResponseCase& c, std::ostream* out) {
  *out << c.name;
}

class FilterResponseTest : public testing::TestWithParam<ResponseCase> {};

// After 2000 samples of transient, the output's component at the input
// frequency over a 100-sample window (a whole number of periods), measured by
// projection onto sine and cosine, so that the phase of the samples does not
// matter.
TEST_P(FilterResponseTest, SteadySine_AmplitudeIsTransferFunctionGain) {
  auto filter = make(GetParam().options);
  const double omega = 2.0 * M_PI * GetParam().frequency / 500.0;
  double in_phase = 0.0;
  double quadrature = 0.0;
  for (int n = 0; n < 2100; ++n) {
    const double y = filter->filter(std::sin(omega * n), 1);
    if (n >= 2000) {
      in_phase += y * std::sin(omega * n);
      quadrature += y * std::cos(omega * n);
    }
  }
  EXPECT_NEAR(2.0 / 100 * std::hypot(in_phase, quadrature), GetParam().gain, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(LowPassNotch, FilterResponseTest, testing::ValuesIn(kResponseCases));

TEST(NotchFilter, ZeroReject_PassesInputSaysSoOncePerObjectAndKeepsIdentityHistory) {
  testing::internal::CaptureStdout();
  NotchFilter notch(0.0, 10.0, 500.0);
  NotchFilter second(0.0, 20.0, 250.0);
  EXPECT_TRUE(notch.isPassThrough());
  EXPECT_TRUE(std::isnan(notch.filter(kNaN, 3)));
  for (double x : {1e300, -2.5, 0.0})
    EXPECT_EQ(notch.filter(x, 3), x);
  notch.updateParams(0.0, 5.0);  // still 0 Hz: no second line
  for (double x : {1.0, 2.0, 3.0})
    EXPECT_EQ(notch.filter(x, 0), x);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Notch filter: reject frequency 0.00 Hz at sampling rate 500.00 Hz is a notch at 0 "
            "Hz, passing the signal unchanged\n"
            "Notch filter: reject frequency 0.00 Hz at sampling rate 250.00 Hz is a notch at 0 "
            "Hz, passing the signal unchanged\n");
  notch.updateParams(50.0, 10.0);
  EXPECT_FALSE(notch.isPassThrough());
  // History x1 = y1 = 3, x2 = y2 = 2 as the identity left it.
  EXPECT_EQ(notch.filter(4.0, 0), 3.8835999999999995);
}

TEST(RateLimiter, Rates50At500Hz_ReachesTenAt101stSampleThenFallsByTenth) {
  RateLimiter limiter(50.0, -50.0, 500.0);
  for (int n = 1; n <= 100; ++n)
    ASSERT_LT(limiter.filter(10.0, 1), 10.0) << "sample " << n;
  EXPECT_EQ(limiter.filter(10.0, 1), 10.0);
  EXPECT_EQ(limiter.filter(0.0, 1), 9.9);
  EXPECT_EQ(limiter.filter(0.0, 1), 9.8);
  EXPECT_EQ(limiter.filter(0.0, 1), 9.700000000000001);
}

struct SequenceCase {
  const char* name;
  double rising, falling;  // per second, at 500 Hz
  std::vector<double> inputs, outputs;
};

const SequenceCase kSequenceCases[] = {
    {"ZeroRates", 0.0, 0.0, {5.0, -5.0, 1e9}, {0.0, 0.0, 0.0}},  // the default record's rates
    // Lower bound above the upper: the output rises by the rising step.
    {"FallingAboveRising", 10.0, 20.0, {-5.0, 100.0, -5.0}, {0.02, 0.04, 0.06}},
    // A NaN passes; the next sample passes unlimited, then limiting resumes.
    {"NaNSample", 50.0, -50.0, {10.0, kNaN, 7.0, 8.0}, {0.1, kNaN, 7.0, 7.1}},
};

void PrintTo(const SequenceCase& c, std::ostream* out) {
  *out << c.name;
}

class RateLimiterSequenceTest : public testing::TestWithParam<SequenceCase> {};

TEST_P(RateLimiterSequenceTest, Inputs_GoldenOutputs) {
  RateLimiter limiter(GetParam().rising, GetParam().falling, 500.0);
  for (std::size_t i = 0; i < GetParam().inputs.size(); ++i) {
    const double y = limiter.filter(GetParam().inputs[i], 0);
    if (std::isnan(GetParam().outputs[i]))
      EXPECT_TRUE(std::isnan(y)) << "sample " << i;
    else
      EXPECT_EQ(y, GetParam().outputs[i]) << "sample " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, RateLimiterSequenceTest, testing::ValuesIn(kSequenceCases));

// Slow parts 3.8586954509503757, 6.228437843582239 of the 50 Hz low-pass plus
// rate-limited parts 0.1, 0.2 at 50 per second.
TEST(HighPassRateLimiter, StepFromRest_SlowPartPlusLimitedRestAroundReference) {
  HighPassRateLimiter hprl(50.0, 50.0, -50.0, 500.0);
  EXPECT_EQ(hprl.type(), 4);
  EXPECT_EQ(hprl.filter(10.0, 0.0, 2), 3.958695450950376);
  EXPECT_EQ(hprl.filter(10.0, 0.0, 2), 6.428437843582239);
  EXPECT_EQ(hprl.filter(10.0, 0.0, 2), 7.983768817176819);
  EXPECT_EQ(hprl.filter(12.0, 2.0, 0), 5.958695450950376);  // deviation 10 from 2
  for (double r : {7.5, -3.25, 1e6})
    EXPECT_EQ(hprl.filter(r, r, 1), r);
  hprl.clearHistory();
  EXPECT_EQ(hprl.filter(10.0, 0.0, 2), 3.958695450950376);
  EXPECT_EQ(hprl.filter(10.0, 0.0, 2), 6.428437843582239);
}

TEST(HighPassRateLimiter, WholeWrench_EqualsSixPerAxisCalls) {
  HighPassRateLimiter whole(20.0, 80.0, -60.0, 500.0);
  HighPassRateLimiter per_axis(20.0, 80.0, -60.0, 500.0);
  for (int n = 0; n < 60; ++n) {
    const Wrench x = variedWrench(n);
    const Wrench r = variedWrench(n + 17);
    const Wrench y = whole.filter(x, r);
    for (int axis = 0; axis < 6; ++axis)
      ASSERT_EQ(y[axis], per_axis.filter(x[axis], r[axis], axis)) << "sample " << n;
  }
}

TEST(HighPassRateLimiter, UpdateAboveHalfRate_AcceptedSilentlyAndKeepsHistory) {
  HighPassRateLimiter hprl(FilterOptions{{}, kHighPassRateLimiter, 1e9, -3.0, 50.0, 50.0, -50.0},
                           500.0);
  for (int n = 0; n < 3; ++n)
    hprl.filter(10.0, 0.0, 0);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  hprl.updateParams(400.0, 100.0, -100.0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(hprl.lowPass().getA0(), 0.834067535971978);
  EXPECT_EQ(hprl.rateLimiter().getRisingRate(), 100.0);
  EXPECT_EQ(hprl.rateLimiter().getFallingRate(), -100.0);
  // With the old history kept the output is 10; a restart would give 8.54...
  EXPECT_EQ(hprl.filter(10.0, 0.0, 0), 10.0);
}

// The paths that end the process: frequencies out of range (operator dialog on
// standard error, exit status -1 seen as 255) and the single-input forms of the
// high-pass rate limiter ("Not Implemented"); and the edges that are accepted.
#define CUTOFF_TEXT(requested, bound, rate)                                                     \
  "Cut-off frequency should be in the range [0, 0.5 * sampling_rate] Hz!\n\nRequested cut-off " \
  "frequency (" requested " Hz) is not in the range [0, " bound                                 \
  "] Hz for current sampling rate (" rate " Hz).\n"
#define REJECT_TEXT(requested, bound, rate)                                                   \
  "Reject frequency should be in the range [0, 0.5 * sampling_rate] Hz!\n\nRequested reject " \
  "frequency (" requested " Hz) is not in the range [0, " bound                               \
  "] Hz for current sampling rate (" rate " Hz).\n"

struct DeathCase {
  const char* name;
  std::function<void()> run;
  const char* output;  // expected within standard error
};

// The system filter seen through the chain's interface.
Filter& systemFilter() {
  static HighPassRateLimiter hprl(50.0, 50.0, -50.0, 500.0);
  return hprl;
}

const DeathCase kDeathCases[] = {
    {"LowPassAboveHalfRate", [] { LowPassFilter(300.0, 500.0); },
     "[DIALOG] Low-Pass Filter Error\n" CUTOFF_TEXT("300.00", "250.00", "500.00")},
    {"LowPassJustAboveHalfRate", [] { LowPassFilter(50.01, 100.0); },
     CUTOFF_TEXT("50.01", "50.00", "100.00")},
    {"LowPassNegative", [] { LowPassFilter(-1.0, 500.0); },
     "[DIALOG] Low-Pass Filter Error\n" CUTOFF_TEXT("-1.00", "250.00", "500.00")},
    {"LowPassNaN", [] { LowPassFilter(kNaN, 500.0); }, "[DIALOG] Low-Pass Filter Error\n"},
    {"NotchAboveHalfRate", [] { NotchFilter(250.5, 10.0, 500.0); },
     "[DIALOG] Notch Filter Error\n" REJECT_TEXT("250.50", "250.00", "500.00")},
    {"NotchNegative", [] { NotchFilter(-0.01, 10.0, 500.0); },
     "[DIALOG] Notch Filter Error\n" REJECT_TEXT("-0.01", "250.00", "500.00")},
    {"NotchNaN", [] { NotchFilter(kNaN, 10.0, 500.0); }, "[DIALOG] Notch Filter Error\n"},
    {"HighPassRateLimiterCutoff", [] { HighPassRateLimiter(60.0, 50.0, -50.0, 100.0); },
     "[DIALOG] Low-Pass Filter Error\n" CUTOFF_TEXT("60.00", "50.00", "100.00")},
    {"HighPassRateLimiterOneAxis", [] { systemFilter().filter(1.0, 0); }, "Not Implemented\n"},
    {"HighPassRateLimiterWrench", [] { systemFilter().filter(Wrench{}); }, "Not Implemented\n"},
};

void PrintTo(const DeathCase& c, std::ostream* out) {
  *out << c.name;
}

class FilterDeathTest : public testing::TestWithParam<DeathCase> {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(FilterDeathTest, Refused_ReportAndExit255) {
  EXPECT_EXIT(GetParam().run(), testing::ExitedWithCode(255),
              testing::HasSubstr(GetParam().output));
}

INSTANTIATE_TEST_SUITE_P(OutOfRangeAndSingleInput, FilterDeathTest, testing::ValuesIn(kDeathCases));

TEST(FilterRange, BoundaryFrequencies_AcceptedWithoutDialog) {
  testing::internal::CaptureStderr();
  LowPassFilter low_pass_100(50.0, 100.0);
  LowPassFilter zero_cutoff(0.0, 100.0);
  NotchFilter notch(250.0, 10.0, 500.0);
  HighPassRateLimiter hprl(50.0, 50.0, -50.0, 100.0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(low_pass_100.filter(1.0, 0), 0.7585469929947761);  // w = pi, a0 = w / (w + 1)
  for (double x : {5.0, -7.0, 1e6})
    EXPECT_EQ(zero_cutoff.filter(x, 0), 0.0);  // a cut-off of 0 Hz holds 0
  // c = -1 at the Nyquist frequency: still a notch, gain 1 for a constant.
  EXPECT_FALSE(notch.isPassThrough());
  double y = 0.0;
  for (int n = 0; n < 2000; ++n)
    y = notch.filter(3.0, 0);
  EXPECT_NEAR(y, 3.0, 1e-9);
}

}  // namespace
}  // namespace vorel_device
