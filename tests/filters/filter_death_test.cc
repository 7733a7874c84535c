// The paths that end the process: frequencies out of range (operator dialog on
// standard error, exit status -1 seen as 255) and the single-input forms of the
// high-pass rate limiter ("Not Implemented"); and the edges that are accepted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <ostream>
#include <string>

#include "filters/filters.h"

namespace vorel_device {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

FilterOptions notchRecord(double reject, double bandwidth) {
  FilterOptions o;
  o.reject_frequency = reject;
  o.bandwidth = bandwidth;
  return o;
}

const DeathCase kDeathCases[] = {
    {"LowPassAboveHalfRate", [] { LowPassFilter(300.0, 500.0); },
     "[DIALOG] Low-Pass Filter Error\n" CUTOFF_TEXT("300.00", "250.00", "500.00")},
    {"LowPassJustAboveHalfRate", [] { LowPassFilter(50.01, 100.0); },
     CUTOFF_TEXT("50.01", "50.00", "100.00")},
    {"LowPassNegative", [] { LowPassFilter(-1.0, 500.0); },
     "[DIALOG] Low-Pass Filter Error\n" CUTOFF_TEXT("-1.00", "250.00", "500.00")},
    {"LowPassNaN", [] { LowPassFilter(kNaN, 500.0); }, "[DIALOG] Low-Pass Filter Error\n"},
    // A default request record carries a cut-off of -1 Hz.
    {"LowPassDefaultRecord", [] { LowPassFilter(FilterOptions{}, 250.0); },
     CUTOFF_TEXT("-1.00", "125.00", "250.00")},
    {"NotchAboveHalfRate", [] { NotchFilter(250.5, 10.0, 500.0); },
     "[DIALOG] Notch Filter Error\n" REJECT_TEXT("250.50", "250.00", "500.00")},
    {"NotchNegative", [] { NotchFilter(-0.01, 10.0, 500.0); },
     "[DIALOG] Notch Filter Error\n" REJECT_TEXT("-0.01", "250.00", "500.00")},
    {"NotchNaN", [] { NotchFilter(kNaN, 10.0, 500.0); }, "[DIALOG] Notch Filter Error\n"},
    {"NotchRecordAboveHalfRate", [] { NotchFilter(notchRecord(60.0, 5.0), 100.0); },
     REJECT_TEXT("60.00", "50.00", "100.00")},
    {"HighPassRateLimiterCutoff", [] { HighPassRateLimiter(60.0, 50.0, -50.0, 100.0); },
     "[DIALOG] Low-Pass Filter Error\n" CUTOFF_TEXT("60.00", "50.00", "100.00")},
    {"HighPassRateLimiterOneAxis",
     [] {
       HighPassRateLimiter hprl(50.0, 50.0, -50.0, 500.0);
       static_cast<Filter&>(hprl).filter(1.0, 0);
     },
     "Not Implemented\n"},
    {"HighPassRateLimiterWrench",
     [] {
       HighPassRateLimiter hprl(50.0, 50.0, -50.0, 500.0);
       static_cast<Filter&>(hprl).filter(Wrench{});
     },
     "Not Implemented\n"},
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
