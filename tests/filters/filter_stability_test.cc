// Parameter stability checks. Golden values come from independent
// computations: a Python/numpy script that evaluates |H(e^jw)| of the notch on
// numpy.linspace(0, pi, 2049) and bisects the bandwidth over
// (0, 2 step_rate / 3); and, for low reject frequencies, whose notch has its
// peak gain at Nyquist, the closed form of that gain set to 2:
//   |H(-1)| = K (2 + 2c) / (1 + 2Rc + R^2) = 2  gives  R^2 - B R + 1 = 0,
//   B = c (6 - 2c) / (3c - 1),  R = (B - sqrt(B^2 - 4)) / 2,
//   bandwidth = (1 - R) step_rate / 3.
#include "filters/filter_stability.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

namespace vorel_device {
namespace {

constexpr double kRate = 500.0;  // Hz: one filter step per 2 ms cycle
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(NotchPeakGain, SeveralNotches_MatchNumpyPeaks) {
  struct Case {
    double reject, bandwidth, numpy_peak;
  };
  const Case cases[] = {{1.0, 2.0, 1.9229083253467476},
                        {1.0, 10.0, 25.228574158234434},
                        {10.0, 20.0, 2.029269674438577},
                        {50.0, 100.0, 2.6876637888262938},
                        {50.0, 10.0, 1.0089585031719523}};
  for (const Case& c : cases) {
    EXPECT_NEAR(notchPeakGain(c.reject, c.bandwidth, kRate), c.numpy_peak, 1e-9 * c.numpy_peak)
        << c.reject << " Hz, " << c.bandwidth << " Hz wide";
  }
}

TEST(NotchPeakGain, PolesOnOrOutsideTheUnitCircle_Infinite) {
  EXPECT_EQ(notchPeakGain(1.0, 0.0, kRate), kInf);                // R = 1
  EXPECT_EQ(notchPeakGain(1.0, -10.0, kRate), kInf);              // R = 1.06
  EXPECT_EQ(notchPeakGain(1.0, 2.0 * kRate / 3.0, kRate), kInf);  // R = -1
  EXPECT_EQ(notchPeakGain(0.0, 10.0, kRate), 1.0);  // no notch: the input passes unchanged
}

TEST(NotchMaxBandwidth, SeveralRejectFrequencies_MatchIndependentValues) {
  // Closed form at 1, 10 and 50 Hz; 200 Hz peaks inside the band (numpy, near
  // 48 Hz); at Nyquist the pole radius reaches -1 before any gain.
  EXPECT_NEAR(notchMaxBandwidth(1.0, kRate), 2.081345018671262, 1e-9);
  EXPECT_NEAR(notchMaxBandwidth(10.0, kRate), 19.730525444215683, 1e-8);
  EXPECT_NEAR(notchMaxBandwidth(50.0, kRate), 82.44320376878348, 1e-8);
  EXPECT_NEAR(notchMaxBandwidth(200.0, kRate), 309.39934619385883, 1e-6);
  EXPECT_NEAR(notchMaxBandwidth(250.0, kRate), 2.0 * kRate / 3.0, 1e-6);
}

// A request of `type` with the given fields, or (type 0) the system filter's
// cut-off and rates, or (type -1) the set-point smoothing factor in `cutoff`.
struct CheckCase {
  const char* name;
  std::int32_t type;
  double reject, bandwidth, cutoff, rising, falling;
  const char* refusal;  // "" when accepted
};

#define NOTCH_RANGE(bound, reject)                                                    \
  "is outside the accepted range (0, " bound "] Hz for a reject frequency of " reject \
  " Hz at the 500 Hz filter step rate"
#define RISING " N/s is outside the accepted range (0, inf] N/s (N m/s for torques)"
#define FALLING " N/s is outside the accepted range [-inf, 0) N/s (N m/s for torques)"
#define CUTOFF " Hz is outside the accepted range [0, 250] Hz at the 500 Hz filter step rate"
#define LOWPASS " Hz is outside the accepted range (0.2, 250] Hz at the 500 Hz filter step rate"

// The edges of each rule; the plain unstable classes are covered, with their
// ERROR lines, by the device's test of the robot-program functions.
const CheckCase kCheckCases[] = {
    // Notch: the bound is the largest bandwidth rounded down to 3 digits.
    {"NotchAtBound1Hz", kNotchFilter, 1.0, 2.08, -1, 0, 0, ""},
    {"NotchAbove1Hz", kNotchFilter, 1.0, 2.09, -1, 0, 0,
     "bandwidth 2.09 Hz " NOTCH_RANGE("2.08", "1")},
    {"NotchNaN", kNotchFilter, 1.0, kNaN, -1, 0, 0, "bandwidth nan Hz " NOTCH_RANGE("2.08", "1")},
    {"NotchAtBound10Hz", kNotchFilter, 10.0, 19.7, -1, 0, 0, ""},
    {"NotchBetweenBoundAndMax10Hz", kNotchFilter, 10.0, 19.71, -1, 0, 0,
     "bandwidth 19.71 Hz " NOTCH_RANGE("19.7", "10")},
    {"NotchAtBound50Hz", kNotchFilter, 50.0, 82.4, -1, 0, 0, ""},
    // A notch at Nyquist never amplifies: any R above -1 (333.3 Hz) is accepted.
    {"NotchAtNyquist", kNotchFilter, 250.0, 333.0, -1, 0, 0, ""},
    {"NotchPolesRoundToOne", kNotchFilter, 50.0, 1e-20, -1, 0, 0,
     "bandwidth 1e-20 Hz is too small to place the notch's poles inside the unit circle for a "
     "reject frequency of 50 Hz at the 500 Hz filter step rate"},
    // 0 Hz passes unchanged; outside [0, 250] Hz the notch would end the
    // process.
    {"NotchAt0Hz", kNotchFilter, 0.0, -10.0, -1, 0, 0, ""},
    {"NotchRejectNegative", kNotchFilter, -1.0, -10.0, -1, 0, 0, "reject_frequency -1" CUTOFF},
    {"NotchRejectAboveNyquist", kNotchFilter, 300.0, 10.0, -1, 0, 0, "reject_frequency 300" CUTOFF},
    {"NotchRejectNaN", kNotchFilter, kNaN, -10.0, -1, 0, 0, "reject_frequency nan" CUTOFF},
    // Rate limiters.
    // Rate limiters: a rate of 0 freezes the output.
    {"RateLimiterZeroRates", kRateLimiter, -1, -1, -1, 0.0, 0.0, "rising_rate 0" RISING},
    {"RateLimiterUnlimited", kRateLimiter, -1, -1, -1, kInf, -kInf, ""},
    {"RateLimiterRisingNaN", kRateLimiter, -1, -1, -1, kNaN, 0.0, "rising_rate nan" RISING},
    {"HighPassFallingTiny", kHighPassRateLimiter, -1, -1, 50, 1.0, 1e-300,
     "falling_rate 1e-300" FALLING},
    // Cut-offs of the chain's low-passes: (0.2, 250] Hz (at 0.2 Hz and below
    // the force is frozen; outside [0, 250] the filter would end the process);
    // the rates of a low-pass are not its own.
    {"HighPassCutoffNegative", kHighPassRateLimiter, -1, -1, -5, 1.0, -1.0,
     "cutoff_frequency -5" LOWPASS},
    {"LowPassCutoffNaN", kLowPassFilter, -1, -1, kNaN, -1.0, 1.0, "cutoff_frequency nan" LOWPASS},
    {"LowPassCutoffAtMinimum", kLowPassFilter, -1, -1, 0.2, -1.0, 1.0,
     "cutoff_frequency 0.2" LOWPASS},
    {"LowPassAtNyquist", kLowPassFilter, -1, -1, 250.0, -1.0, 1.0, ""},
    // System filter.
    {"SystemZeroCutoff", 0, -1, -1, 0.0, 50.0, -50.0, "cutoff_frequency 0" LOWPASS},
    {"SystemCutoffAbove", 0, -1, -1, 250.0001, 50.0, -50.0, "cutoff_frequency 250.0001" LOWPASS},
    {"SystemRisingNegative", 0, -1, -1, 50.0, -1.0, -1.0, "rising_rate -1" RISING},
    // Gains of the law.
    {"GainNegative", -2, -1, -1, -1e-9, 0, 0,
     "translation_gain -1e-09 is outside the accepted range [0, 1000] (a negative gain drives the "
     "tool into the force, a larger one makes 1 N of error command more than 1 m/s)"},
    {"GainAtBound", -2, -1, -1, 1000.0, 0, 0, ""},
    // Set-point smoothing.
    {"SmoothingAboveOne", -1, -1, -1, 1.0000001, 0, 0,
     "track_smoothing 1.0000001 is outside the accepted range [0, 1]"},
};

void PrintTo(const CheckCase& c, std::ostream* out) {
  *out << c.name;
}

class FilterStabilityCheckTest : public testing::TestWithParam<CheckCase> {};

TEST_P(FilterStabilityCheckTest, Value_AcceptedOrRefusedWithRange) {
  const CheckCase& c = GetParam();
  std::string result;
  if (c.type == 0) {
    result = checkSystemFilterParams(c.cutoff, c.rising, c.falling, kRate);
  } else if (c.type == -2) {
    result = checkGain("translation_gain", c.cutoff);
  } else if (c.type < 0) {
    result = checkTrackSmoothing(c.cutoff);
  } else {
    result = checkFilterRequest(
        FilterOptions{{}, c.type, c.reject, c.bandwidth, c.cutoff, c.rising, c.falling}, kRate);
  }
  EXPECT_EQ(result, c.refusal);
}

INSTANTIATE_TEST_SUITE_P(Table, FilterStabilityCheckTest, testing::ValuesIn(kCheckCases));

}  // namespace
}  // namespace vorel_device
