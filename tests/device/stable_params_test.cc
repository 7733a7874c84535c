// The refusal table of the robot-program functions that take numbers, on a
// real shared segment: filter, system-filter and smoothing parameters that
// would make a filter unstable, amplifying or frozen, or a filter class end
// the process; gains that invert or overdrive force control; targets at or
// beyond the force limits; force limits, speed limits and biases out of
// their ranges; moveToContact arguments that would command the current pose
// for ever. Each refused value gives one ERROR line naming it and its range,
// nothing reaches the segment and nothing moves; the value at the edge of
// its accepted range is sent. A reader
// creates the segment but does not run and no force-control thread takes the
// requests, so the test sees exactly what the device wrote. Filters are
// stepped at 500 Hz (one step per 2 ms cycle).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <cmath>

#include <boost/make_shared.hpp>
#include <cstring>
#include <limits>
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

enum class Function {
  kAddFilter,
  kSetSystemFilterParams,
  kSetForceControlGains,
  kMoveToContact,
  kSetForceControlSpeedLimits,
  kSetForceTrackValue,
  kSetTorqueTrackValue,
  kSetForceLimits,
  kResetForce,
  kDeadband,
  kCompliance,
  kFrame,
};

struct ParamCase {
  const char* name;
  Function function;
  int type;             // addFilter only
  double args[5];       // addFilter p1..p5; moveToContact frame, axis, speed; the others:
                        // their three Number arguments
  const char* refusal;  // what the ERROR line says of the refused value; "" when sent
};

void PrintTo(const ParamCase& c, std::ostream* out) {
  *out << c.name;
}

constexpr auto kAdd = Function::kAddFilter;
constexpr auto kSystem = Function::kSetSystemFilterParams;
constexpr auto kGains = Function::kSetForceControlGains;
constexpr auto kMove = Function::kMoveToContact;
constexpr auto kSpeed = Function::kSetForceControlSpeedLimits;
constexpr auto kForce = Function::kSetForceTrackValue;
constexpr auto kTorque = Function::kSetTorqueTrackValue;
constexpr auto kLimits = Function::kSetForceLimits;
constexpr auto kReset = Function::kResetForce;
constexpr auto kBand = Function::kDeadband;
constexpr auto kSpring = Function::kCompliance;
constexpr auto kFrameOf = Function::kFrame;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
#define SPEEDS " must lie in (0, 1000] mm/s and (0, 180] deg/s"
#define LIMITS " must lie in (0, 2000] N and (0, 200] N m"
#define OUT " is outside the accepted range"
#define NOT_FINITE "a value is not a finite number"

// A notch at 1 Hz accepts a bandwidth in (0, 2.08] Hz at the 500 Hz step
// rate; the system filter's cut-off is bounded by half the step rate.
const ParamCase kParamCases[] = {
    {"NotchNegativeBandwidth", kAdd, 2, {1, -10, 0, 0, 0}, "bandwidth -10 Hz" OUT},
    {"NotchZeroBandwidth", kAdd, 2, {1, 0, 0, 0, 0}, "bandwidth 0 Hz" OUT},
    {"NotchAmplifyingBandwidth", kAdd, 2, {1, 10, 0, 0, 0}, "bandwidth 10 Hz" OUT},
    {"NotchAtBound", kAdd, 2, {1, 2.08, 0, 0, 0}, ""},
    {"RateLimiterRisingNegative", kAdd, 3, {0, 0, 0, -1, -50}, "rising_rate -1 N/s" OUT},
    {"RateLimiterFallingPositive", kAdd, 3, {0, 0, 0, 50, 20}, "falling_rate 20 N/s" OUT},
    // Rates of 0 and cut-offs at or below 0.2 Hz freeze the force.
    {"RateLimiterZeroRates", kAdd, 3, {0, 0, 0, 0, 0}, "rising_rate 0 N/s" OUT},
    {"RateLimiterFallingZero", kAdd, 3, {0, 0, 0, 50, 0}, "falling_rate 0 N/s" OUT},
    {"RateLimiterTinyRates", kAdd, 3, {0, 0, 0, 1e-9, -1e-9}, ""},
    {"HighPassRisingNegative", kAdd, 4, {0, 0, 50, -1, -50}, "rising_rate -1 N/s" OUT},
    {"HighPassFallingPositive", kAdd, 4, {0, 0, 50, 50, 20}, "falling_rate 20 N/s" OUT},
    {"HighPassZeroRates", kAdd, 4, {0, 0, 250, 0, 0}, "rising_rate 0 N/s" OUT},
    {"HighPassAtBounds", kAdd, 4, {0, 0, 250, 1e-9, -1e-9}, ""},
    {"LowPassCutoffZero", kAdd, 1, {0, 0, 0, 0, 0}, "cutoff_frequency 0 Hz" OUT " (0.2, 250] Hz"},
    {"LowPassCutoffAtMinimum", kAdd, 1, {0, 0, 0.2, 0, 0}, "cutoff_frequency 0.2 Hz" OUT},
    {"LowPassCutoffJustAbove", kAdd, 1, {0, 0, 0.2001, 0, 0}, ""},
    {"HighPassCutoffAtMinimum", kAdd, 4, {0, 0, 0.2, 50, -50}, "cutoff_frequency 0.2 Hz" OUT},
    // A notch so low that its gain at 0 Hz is no longer 1.
    {"NotchRejectNearZero", kAdd, 2, {1e-4, 1e-4, 0, 0, 0}, "gain at 0 Hz is"},
    // Frequencies for which the filter classes would end the process.
    {"LowPassCutoffAboveNyquist", kAdd, 1, {0, 0, 300, 0, 0}, "cutoff_frequency 300 Hz" OUT},
    {"LowPassCutoffNegative", kAdd, 1, {0, 0, -5, 0, 0}, "cutoff_frequency -5 Hz" OUT},
    {"NotchRejectAboveNyquist", kAdd, 2, {260, 10, 0, 0, 0}, "reject_frequency 260 Hz" OUT},
    {"HighPassCutoffAboveNyquist", kAdd, 4, {0, 0, 251, 50, -50}, "cutoff_frequency 251 Hz" OUT},
    // moveToContact arguments that would command the current pose for ever.
    {"MoveAxis3", kMove, 0, {0, 3, 50}, "the axis 3 is not 0 (x), 1 (y) or 2 (z); nothing moved"},
    {"MoveReferenceFrame2", kMove, 0, {2, 2, 50}, "the reference frame 2 is neither 0"},
    {"MoveSpeed0", kMove, 0, {0, 2, 0}, "a speed of 0 mm/s never reaches a contact"},
    // Speed limits of the offset: mm/s and deg/s.
    {"SpeedLimitZero", kSpeed, 0, {0, 45}, "translation 0 mm/s and rotation 45 deg/s" SPEEDS},
    {"SpeedLimitAbove",
     kSpeed,
     0,
     {250, 180.5},
     "translation 250 mm/s and rotation 180.5 deg/s" SPEEDS},
    {"SpeedLimitNaN", kSpeed, 0, {kNaN, 45}, "translation nan mm/s and rotation 45 deg/s" SPEEDS},
    {"SpeedLimitsAtBounds", kSpeed, 0, {1000, 180}, ""},
    {"SystemCutoffNegative", kSystem, 0, {-20, 50, -50}, "cutoff_frequency -20 Hz" OUT},
    {"SystemCutoffAboveNyquist", kSystem, 0, {300, 50, -50}, "cutoff_frequency 300 Hz" OUT},
    {"SystemRisingNegative", kSystem, 0, {50, -50, -50}, "rising_rate -50 N/s" OUT},
    {"SystemFallingPositive", kSystem, 0, {50, 50, 50}, "falling_rate 50 N/s" OUT},
    {"SystemRisingZero", kSystem, 0, {50, 0, -50}, "rising_rate 0 N/s" OUT},
    {"SystemCutoffAtMinimum", kSystem, 0, {0.2, 50, -50}, "cutoff_frequency 0.2 Hz" OUT},
    {"SystemAtBounds", kSystem, 0, {250, 1e-9, -1e-9}, ""},
    {"SystemNaN", kSystem, 0, {kNaN, 50, -50}, NOT_FINITE},
    // Gains: [0, 1000].
    {"GainNegative", kGains, 0, {-0.001, 5, 0.01}, "translation_gain -0.001" OUT " [0, 1000]"},
    {"GainAbove", kGains, 0, {1000.001, 5, 0.01}, "translation_gain 1000.001" OUT},
    {"RotationGainNegative", kGains, 0, {5, -5, 0.01}, "rotation_gain -5" OUT},
    {"GainsAtBounds", kGains, 0, {0, 1000, 0.01}, ""},
    {"GainInfinite", kGains, 0, {kInf, 5, 0.01}, NOT_FINITE},
    // Targets: below the force limits (150 N, 15 N m by default).
    {"ForceTargetAtLimit", kForce, 0, {0, 0, -150}, "the target force (0, 0, -150) N is 150 N"},
    {"ForceTargetBeyondLimit", kForce, 0, {0, 0, -500}, "at or above the force limit of 150 N"},
    {"ForceTargetJustInside", kForce, 0, {0, 0, -149.999}, ""},
    {"ForceTargetNaN", kForce, 0, {0, kNaN, 0}, NOT_FINITE},
    {"TorqueTargetAtLimit", kTorque, 0, {0, 9, 12}, "torque (0, 9, 12) N m is 15 N m"},
    {"TorqueTargetJustInside", kTorque, 0, {0, 0, 14.999}, ""},
    // Force limits: (0, 2000] N, (0, 200] N m.
    {"ForceLimitZero", kLimits, 0, {0, 15}, "force 0 N and torque 15 N m" LIMITS},
    {"ForceLimitAbove", kLimits, 0, {2000.001, 15}, "force 2000.001 N and torque 15 N m" LIMITS},
    {"TorqueLimitAbove", kLimits, 0, {150, 200.001}, "force 150 N and torque 200.001 N m" LIMITS},
    {"ForceLimitNaN", kLimits, 0, {kNaN, 15}, "force nan N and torque 15 N m" LIMITS},
    {"ForceLimitsAtBounds", kLimits, 0, {2000, 200}, ""},
    // The bias a reset leaves: at most 2000 N in magnitude.
    {"BiasBeyondRange", kReset, 0, {0, 0, 2500}, "bias would become (0, 0, -2500) N"},
    {"BiasAtRange", kReset, 0, {0, 0, 2000}, ""},
    {"BiasTargetInfinite", kReset, 0, {0, 0, -kInf}, "not a finite number"},
    // The law's dead band, compliance and frame: backward Euler is stable for
    // every value at or above 0, the bound of their ranges.
    {"DeadbandNegative", kBand, 0, {-0.001, 0.5}, "force_N -0.001 N" OUT " [0, 2000] N"},
    {"DeadbandTorqueAbove", kBand, 0, {6, 200.001}, "torque_Nm 200.001 N m" OUT},
    {"DeadbandNaN", kBand, 0, {kNaN, 0.5}, "force_N nan N" OUT},
    {"DeadbandAtBounds", kBand, 0, {2000, 0}, ""},
    {"StiffnessNegative", kSpring, 0, {-1e-9, 0, 0, 0}, "stiffness_N_per_m -1e-09 N/m" OUT},
    {"MassNegative", kSpring, 0, {500, -1e-9, 0, 0}, "mass_kg -1e-09 kg" OUT},
    {"RotationalStiffnessAbove", kSpring, 0, {0, 0, 100000.1, 0}, "stiffness_Nm_per_rad 100000.1"},
    {"InertiaInfinite", kSpring, 0, {0, 0, 0, kInf}, "inertia_kg_m2 inf kg m^2" OUT},
    {"ComplianceAtBounds", kSpring, 0, {1e6, 1000, 1e5, 100}, ""},
    {"ComplianceZero", kSpring, 0, {0, 0, 0, 0}, ""},
    {"FrameTwo", kFrameOf, 0, {2}, "the frame 2 is neither 0 (the TCP's axes) nor 1"},
    {"FrameBase", kFrameOf, 0, {1}, ""},
    {"SmoothingAboveOne", kGains, 0, {2, 3, 3}, "track_smoothing 3" OUT},
    {"SmoothingNegative", kGains, 0, {2, 3, -0.1}, "track_smoothing -0.1" OUT},
    {"SmoothingOne", kGains, 0, {2, 3, 1}, ""},
    {"SmoothingZero", kGains, 0, {2, 3, 0}, ""},
};

// What the three functions write into the segment.
struct Sent {
  FilterOptions request;
  std::int32_t flag;
  SystemFilterParams system_filter;
  Gains gains;
  vorel_device::ForceControlSpeedLimits speed;
  vorel_device::ForceControlLaw law;
  vorel_device::Wrench track;
  vorel_device::ForceLimits limits;
  vorel_device::ftBias bias;
};

class StableParamsTest : public BoundDeviceTest, public ::testing::WithParamInterface<ParamCase> {
 protected:
  Sent sent() {
    return {view->read<FilterOptions>(ss::kTempFilterOptions),
            view->read<std::int32_t>(ss::kNewFilterFlag),
            view->read<SystemFilterParams>(ss::kSystemFilterParams),
            view->read<Gains>(ss::kGains),
            view->read<vorel_device::ForceControlSpeedLimits>(ss::kForceControlSpeedLimits),
            view->read<vorel_device::ForceControlLaw>(ss::kForceControlLaw),
            view->read<vorel_device::Wrench>(ss::kTrackWrench),
            view->read<vorel_device::ForceLimits>(ss::kForceLimits),
            view->read<vorel_device::ftBias>(ss::kWrenchOffset)};
  }
};

TEST_P(StableParamsTest, Setting_OutsideOrAtItsBound_RefusedWithErrorLineOrSent) {
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
    case Function::kMoveToContact: {
      function = "moveToContact";
      Number threshold(5.0), max_distance(100.0), retract(10.0);
      ASSERT_TRUE(device
                      ->moveToContact(static_cast<int>(a[0]), static_cast<int>(a[1]), n2, threshold,
                                      max_distance, retract)
                      .ok());
      EXPECT_EQ(controller->motionCommandCount(), 0u);
      break;
    }
    case Function::kSetForceControlSpeedLimits:
      function = "setForceControlSpeedLimits";
      ASSERT_TRUE(device->setForceControlSpeedLimits(n0, n1).ok());
      break;
    case Function::kSetForceTrackValue: {
      function = "setForceTrackValue";
      Array v = vector3(a[0], a[1], a[2]);
      ASSERT_TRUE(device->setForceTrackValue(v).ok());
      break;
    }
    case Function::kSetTorqueTrackValue: {
      function = "setTorqueTrackValue";
      Array v = vector3(a[0], a[1], a[2]);
      ASSERT_TRUE(device->setTorqueTrackValue(v).ok());
      break;
    }
    case Function::kSetForceLimits:
      function = "setForceLimits";
      ASSERT_TRUE(device->setForceLimits(n0, n1).ok());
      break;
    case Function::kResetForce: {
      function = "resetForce";
      Array v = vector3(a[0], a[1], a[2]);
      ASSERT_TRUE(device->resetForce(v).ok());
      break;
    }
    case Function::kDeadband:
      function = "setForceControlDeadband";
      ASSERT_TRUE(device->setForceControlDeadband(n0, n1).ok());
      break;
    case Function::kCompliance: {
      function = "setForceControlCompliance";
      Number n3(a[3]);
      ASSERT_TRUE(device->setForceControlCompliance(n0, n1, n2, n3).ok());
      break;
    }
    case Function::kFrame:
      function = "setForceControlFrame";
      ASSERT_TRUE(device->setForceControlFrame(static_cast<int>(a[0])).ok());
      break;
  }
  const Sent after = sent();
  EXPECT_TRUE(device->programRunning());

  if (*c.refusal != '\0') {
    // One ERROR line of the function, naming the refused value and its range.
    EXPECT_THAT(console.lines(),
                ElementsAre(AllOf(StartsWith(std::string("[ERROR] ") + function + ": "),
                                  HasSubstr(c.refusal))));
    EXPECT_EQ(std::memcmp(&after.request, &before.request, sizeof(FilterOptions)), 0);
    EXPECT_EQ(after.flag, before.flag);
    EXPECT_EQ(std::memcmp(&after.system_filter, &before.system_filter, sizeof(SystemFilterParams)),
              0);
    EXPECT_EQ(std::memcmp(&after.gains, &before.gains, sizeof(Gains)), 0);
    EXPECT_EQ(std::memcmp(&after.speed, &before.speed, sizeof(after.speed)), 0);
    EXPECT_EQ(std::memcmp(&after.law, &before.law, sizeof(after.law)), 0);
    EXPECT_EQ(std::memcmp(&after.track, &before.track, sizeof(after.track)), 0);
    EXPECT_EQ(std::memcmp(&after.limits, &before.limits, sizeof(after.limits)), 0);
    EXPECT_EQ(std::memcmp(&after.bias, &before.bias, sizeof(after.bias)), 0);
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
    case Function::kMoveToContact:
      break;
    case Function::kSetForceControlSpeedLimits:
      EXPECT_EQ(after.speed.translation, 1.0);       // m/s
      EXPECT_DOUBLE_EQ(after.speed.rotation, M_PI);  // rad/s
      break;
    case Function::kSetForceTrackValue:
    case Function::kSetTorqueTrackValue: {
      const int first = c.function == Function::kSetForceTrackValue ? 0 : 3;
      for (int i = 0; i < 3; ++i)
        EXPECT_EQ(after.track[first + i], a[i]) << i;
      break;
    }
    case Function::kSetForceLimits:
      EXPECT_EQ(after.limits.force, a[0]);
      EXPECT_EQ(after.limits.torque, a[1]);
      break;
    case Function::kResetForce:
      for (int i = 0; i < 3; ++i)
        EXPECT_EQ(after.bias[i], -a[i]) << i;  // the tool-frame force reads 0 here
      break;
    case Function::kDeadband:
      EXPECT_EQ(after.law.deadband_force, a[0]);
      EXPECT_EQ(after.law.deadband_torque, a[1]);
      break;
    case Function::kCompliance:
      EXPECT_EQ(after.law.stiffness, a[0]);
      EXPECT_EQ(after.law.mass, a[1]);
      EXPECT_EQ(after.law.rotational_stiffness, a[2]);
      EXPECT_EQ(after.law.inertia, a[3]);
      break;
    case Function::kFrame:
      EXPECT_EQ(after.law.frame, static_cast<int>(a[0]));
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, StableParamsTest, ::testing::ValuesIn(kParamCases),
                         [](const ::testing::TestParamInfo<ParamCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vorel_device_test
