// Filter, system-filter and smoothing parameters that would make a filter
// unstable or amplifying, through the robot-program functions on a real
// shared segment: each is refused with one ERROR line and nothing reaches the
// segment; the value at the edge of its accepted range is sent. A reader
// creates the segment but does not run and no force-control thread takes the
// requests, so the test sees exactly what the device wrote. Filters are
// stepped at 500 Hz (one step per 2 ms cycle).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "tests/device/bound_device_fixture.h"

namespace vorel_device_test {
namespace {

namespace ss = vorel_device::shared_segment;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using vorel_device::FilterOptions;
using vorel_device::Gains;
using vorel_device::SystemFilterParams;

enum class Function { kAddFilter, kSetSystemFilterParams, kSetForceControlGains };

struct ParamCase {
  const char* name;
  Function function;
  int type;             // addFilter only
  double args[5];       // addFilter p1..p5; the others: their three Number arguments
  const char* refusal;  // the refused value as the ERROR line names it; "" when sent
};

void PrintTo(const ParamCase& c, std::ostream* out) {
  *out << c.name;
}

constexpr auto kAdd = Function::kAddFilter;
constexpr auto kSystem = Function::kSetSystemFilterParams;
constexpr auto kGains = Function::kSetForceControlGains;

// A notch at 1 Hz accepts a bandwidth in (0, 2.08] Hz at the 500 Hz step
// rate; the system filter's cut-off is bounded by half the step rate.
const ParamCase kParamCases[] = {
    {"NotchNegativeBandwidth", kAdd, 2, {1, -10, 0, 0, 0}, "bandwidth -10 Hz"},
    {"NotchZeroBandwidth", kAdd, 2, {1, 0, 0, 0, 0}, "bandwidth 0 Hz"},
    {"NotchAmplifyingBandwidth", kAdd, 2, {1, 10, 0, 0, 0}, "bandwidth 10 Hz"},
    {"NotchAtBound", kAdd, 2, {1, 2.08, 0, 0, 0}, ""},
    {"RateLimiterRisingNegative", kAdd, 3, {0, 0, 0, -1, -50}, "rising_rate -1 N/s"},
    {"RateLimiterFallingPositive", kAdd, 3, {0, 0, 0, 50, 20}, "falling_rate 20 N/s"},
    {"RateLimiterZeroRates", kAdd, 3, {0, 0, 0, 0, 0}, ""},
    {"HighPassRisingNegative", kAdd, 4, {0, 0, 50, -1, -50}, "rising_rate -1 N/s"},
    {"HighPassFallingPositive", kAdd, 4, {0, 0, 50, 50, 20}, "falling_rate 20 N/s"},
    {"HighPassZeroRates", kAdd, 4, {0, 0, 250, 0, 0}, ""},
    {"SystemCutoffNegative", kSystem, 0, {-20, 50, -50}, "cutoff_frequency -20 Hz"},
    {"SystemCutoffAboveNyquist", kSystem, 0, {300, 50, -50}, "cutoff_frequency 300 Hz"},
    {"SystemRisingNegative", kSystem, 0, {50, -50, -50}, "rising_rate -50 N/s"},
    {"SystemFallingPositive", kSystem, 0, {50, 50, 50}, "falling_rate 50 N/s"},
    {"SystemAtBounds", kSystem, 0, {250, 0, 0}, ""},
    {"SmoothingAboveOne", kGains, 0, {2, 3, 3}, "track_smoothing 3"},
    {"SmoothingNegative", kGains, 0, {2, 3, -0.1}, "track_smoothing -0.1"},
    {"SmoothingOne", kGains, 0, {2, 3, 1}, ""},
    {"SmoothingZero", kGains, 0, {2, 3, 0}, ""},
};

// What the three functions write into the segment.
struct Sent {
  FilterOptions request;
  std::int32_t flag;
  SystemFilterParams system_filter;
  Gains gains;
};

class StableParamsTest : public BoundDeviceTest, public ::testing::WithParamInterface<ParamCase> {
 protected:
  Sent sent() {
    return {view->read<FilterOptions>(ss::kTempFilterOptions),
            view->read<std::int32_t>(ss::kNewFilterFlag),
            view->read<SystemFilterParams>(ss::kSystemFilterParams), view->read<Gains>(ss::kGains)};
  }
};

TEST_P(StableParamsTest, Setting_RefusedWithErrorLineAndNothingSent_OrSentAtItsBound) {
  const ParamCase& c = GetParam();
  const double* a = c.args;
  const Sent before = sent();
  Number n0(a[0]), n1(a[1]), n2(a[2]);
  const char* function = "addFilter";
  switch (c.function) {
    case Function::kAddFilter:
      ASSERT_TRUE(device->addFilter("f", c.type, a[0], a[1], a[2], a[3], a[4]).ok());
      break;
    case Function::kSetSystemFilterParams:
      function = "setSystemFilterParams";
      ASSERT_TRUE(device->setSystemFilterParams(n0, n1, n2).ok());
      break;
    case Function::kSetForceControlGains:
      function = "setForceControlGains";
      ASSERT_TRUE(device->setForceControlGains(n0, n1, n2).ok());
      break;
  }
  const Sent after = sent();
  EXPECT_TRUE(device->programRunning());

  if (*c.refusal != '\0') {
    // One ERROR line of the function, naming the refused value and its range.
    EXPECT_THAT(
        console.lines(),
        ElementsAre(AllOf(StartsWith(std::string("[ERROR] ") + function + ": "),
                          HasSubstr(std::string(c.refusal) + " is outside the accepted range"))));
    EXPECT_EQ(std::memcmp(&after.request, &before.request, sizeof(FilterOptions)), 0);
    EXPECT_EQ(after.flag, before.flag);
    EXPECT_EQ(std::memcmp(&after.system_filter, &before.system_filter, sizeof(SystemFilterParams)),
              0);
    EXPECT_EQ(std::memcmp(&after.gains, &before.gains, sizeof(Gains)), 0);
    return;
  }
  EXPECT_TRUE(console.lines().empty());
  switch (c.function) {
    case Function::kAddFilter:
      EXPECT_EQ(after.flag, 1);
      EXPECT_EQ(after.request.key(), "f");
      EXPECT_EQ(after.request.type, c.type);
      EXPECT_EQ(after.request.reject_frequency, a[0]);
      EXPECT_EQ(after.request.bandwidth, a[1]);
      EXPECT_EQ(after.request.cutoff_frequency, a[2]);
      EXPECT_EQ(after.request.rising_rate, a[3]);
      EXPECT_EQ(after.request.falling_rate, a[4]);
      break;
    case Function::kSetSystemFilterParams:
      EXPECT_EQ(after.system_filter.cutoff_frequency, a[0]);
      EXPECT_EQ(after.system_filter.rising_rate, a[1]);
      EXPECT_EQ(after.system_filter.falling_rate, a[2]);
      break;
    case Function::kSetForceControlGains:
      EXPECT_EQ(after.gains.translation_gain, a[0]);
      EXPECT_EQ(after.gains.rotation_gain, a[1]);
      EXPECT_EQ(after.gains.track_smoothing, a[2]);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, StableParamsTest, ::testing::ValuesIn(kParamCases),
                         [](const ::testing::TestParamInfo<ParamCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vorel_device_test
