// The paths that end the process: frequencies out of range (operator dialog,
// exit status -1 seen as 255) and the single-input forms of the high-pass rate
// limiter ("Not Implemented").
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "filters/filters.h"
#include "filters/frequency_range_error.h"

namespace vorel_device {
namespace {

using testing::ExitedWithCode;
using testing::HasSubstr;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// What the host's default dialog sink writes to standard error.
std::string dialogText(const std::string& title, const std::string& message) {
  return "[DIALOG] " + title + "\n" + message + "\n";
}

class FilterDeathTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST(FrequencyRangeMessage, CutoffAndReject_ExactTextWithTwoDecimals) {
  EXPECT_EQ(frequencyRangeMessage("cut-off", 300.0, 500.0),
            "Cut-off frequency should be in the range [0, 0.5 * sampling_rate] Hz!\n\n"
            "Requested cut-off frequency (300.00 Hz) is not in the range [0, 250.00] Hz for "
            "current sampling rate (500.00 Hz).");
  EXPECT_EQ(frequencyRangeMessage("reject", -0.126, 250.0),
            "Reject frequency should be in the range [0, 0.5 * sampling_rate] Hz!\n\n"
            "Requested reject frequency (-0.13 Hz) is not in the range [0, 125.00] Hz for "
            "current sampling rate (250.00 Hz).");
}

TEST_F(FilterDeathTest, LowPass_CutoffAboveHalfRate_DialogAndExit255) {
  const std::string expected = dialogText(
      "Low-Pass Filter Error",
      "Cut-off frequency should be in the range [0, 0.5 * sampling_rate] Hz!\n\n"
      "Requested cut-off frequency (300.00 Hz) is not in the range [0, 250.00] Hz for current "
      "sampling rate (500.00 Hz).");
  EXPECT_EXIT(LowPassFilter(300.0, 500.0), ExitedWithCode(255), HasSubstr(expected));
  EXPECT_EXIT(LowPassFilter(50.01, 100.0), ExitedWithCode(255),
              HasSubstr("Requested cut-off frequency (50.01 Hz) is not in the range [0, 50.00] Hz "
                        "for current sampling rate (100.00 Hz)."));
}

TEST_F(FilterDeathTest, LowPass_NegativeOrNaNCutoff_DialogAndExit255) {
  EXPECT_EXIT(LowPassFilter(-1.0, 500.0), ExitedWithCode(255),
              HasSubstr("[DIALOG] Low-Pass Filter Error\nCut-off frequency should be in the "
                        "range [0, 0.5 * sampling_rate] Hz!\n\nRequested cut-off frequency "
                        "(-1.00 Hz) is not in the range [0, 250.00] Hz for current sampling "
                        "rate (500.00 Hz).\n"));
  EXPECT_EXIT(LowPassFilter(kNaN, 500.0), ExitedWithCode(255),
              HasSubstr("[DIALOG] Low-Pass Filter Error\n"));
  // A default request record carries a cut-off of -1 Hz.
  EXPECT_EXIT(LowPassFilter(FilterOptions{}, 250.0), ExitedWithCode(255),
              HasSubstr("Requested cut-off frequency (-1.00 Hz) is not in the range [0, 125.00]"));
}

TEST_F(FilterDeathTest, Notch_RejectOutOfRangeOrNaN_DialogAndExit255) {
  EXPECT_EXIT(NotchFilter(250.5, 10.0, 500.0), ExitedWithCode(255),
              HasSubstr(dialogText(
                  "Notch Filter Error",
                  "Reject frequency should be in the range [0, 0.5 * sampling_rate] Hz!\n\n"
                  "Requested reject frequency (250.50 Hz) is not in the range [0, 250.00] Hz "
                  "for current sampling rate (500.00 Hz).")));
  EXPECT_EXIT(NotchFilter(-0.01, 10.0, 500.0), ExitedWithCode(255),
              HasSubstr("[DIALOG] Notch Filter Error\nReject frequency should be in the range "
                        "[0, 0.5 * sampling_rate] Hz!\n\nRequested reject frequency (-0.01 Hz)"));
  EXPECT_EXIT(NotchFilter(kNaN, 10.0, 500.0), ExitedWithCode(255),
              HasSubstr("[DIALOG] Notch Filter Error\n"));
  FilterOptions options;
  options.reject_frequency = 60.0;
  options.bandwidth = 5.0;
  EXPECT_EXIT(NotchFilter(options, 100.0), ExitedWithCode(255),
              HasSubstr("Requested reject frequency (60.00 Hz) is not in the range [0, 50.00] Hz "
                        "for current sampling rate (100.00 Hz)."));
}

TEST_F(FilterDeathTest, HighPassRateLimiter_CutoffAboveHalfRate_LowPassDialogAndExit255) {
  EXPECT_EXIT(HighPassRateLimiter(60.0, 50.0, -50.0, 100.0), ExitedWithCode(255),
              HasSubstr(dialogText(
                  "Low-Pass Filter Error",
                  "Cut-off frequency should be in the range [0, 0.5 * sampling_rate] Hz!\n\n"
                  "Requested cut-off frequency (60.00 Hz) is not in the range [0, 50.00] Hz for "
                  "current sampling rate (100.00 Hz).")));
}

TEST_F(FilterDeathTest, HighPassRateLimiter_SingleInputForms_NotImplementedAndExit255) {
  auto hprl = std::make_unique<HighPassRateLimiter>(50.0, 50.0, -50.0, 500.0);
  Filter* filter = hprl.get();
  EXPECT_EXIT(filter->filter(1.0, 0), ExitedWithCode(255), HasSubstr("Not Implemented\n"));
  EXPECT_EXIT(filter->filter(Wrench{}), ExitedWithCode(255), HasSubstr("Not Implemented\n"));
}

TEST(FilterRange, BoundaryFrequencies_AcceptedWithoutDialog) {
  testing::internal::CaptureStderr();
  LowPassFilter low_pass(250.0, 500.0);
  LowPassFilter low_pass_100(50.0, 100.0);
  LowPassFilter zero_cutoff(0.0, 100.0);
  NotchFilter notch(125.0, 10.0, 250.0);
  HighPassRateLimiter hprl(50.0, 50.0, -50.0, 100.0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(low_pass.getCutoffFrequency(), 250.0);
  EXPECT_EQ(low_pass_100.getA0(), 0.7585469929947761);  // w = pi, a0 = w / (w + 1)
  EXPECT_EQ(notch.getRejectFrequency(), 125.0);
  EXPECT_EQ(hprl.lowPass().getCutoffFrequency(), 50.0);
  // A cut-off of 0 Hz outputs 0 for every input.
  for (double x : {5.0, -7.0, 1e6}) {
    EXPECT_EQ(zero_cutoff.filter(x, 0), 0.0);
  }
}

}  // namespace
}  // namespace vorel_device
