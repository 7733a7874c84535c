// Bad input through the robot-program functions of the device, in one
// process: the sensor emulator on a pseudo-terminal as the sensor, the
// stepping controller double as the controller, the real reader, facade and
// force-control threads on the real shared segment, force control on every
// axis. Each function gets NaN, infinities, huge values and a subnormal in its
// number arguments (never a filter frequency out of its range: those end the
// process on purpose). After every call the test grants controller cycles and
// checks that the call returned success, that the force-control thread still
// commands the drive once per cycle, and that every reference offset the
// drive received is finite. The refusal line of each function is checked
// against the bare segment in device_functions_test and stable_params_test.
//
// Calls are independent: after each the test brings the device back to a
// healthy state (zero bias, no user filters, the default system filter, force
// control switched off for one cycle and on again).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "adaptive/force_control_thread.h"
#include "device/test_hooks.h"
#include "tests/device/emulated_device_fixture.h"

namespace vorel_device_test {
namespace {

namespace ss = vorel_device::shared_segment;
using Result = VorelFTSensor::Result;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();
const double kTiny = std::numeric_limits<double>::denorm_min();

// Numbers no robot program should send, but one may: non-finite, finite but
// overflowing as soon as they are scaled or squared, and a subnormal.
const std::vector<double> kBadNumbers = {kNaN, kInf, -kInf, kMax, -kMax, 1e300, -1e300, kTiny};

class BadInputTest : public EmulatedDeviceTest {
 protected:
  void SetUp() override {
    controller->setRcState(hx4rc_api::State::SysStat_RCState::kLoadModelReady);
    emulator.setWrench(wrenchOf(0.0, 0.0, 10.0, 0.125, 0.0, 0.0));  // N, N m in sensor axes
    ASSERT_NO_FATAL_FAILURE(startSensor());
    ASSERT_EQ(device->onCreate(), 0);
    ASSERT_TRUE(device->onMount(*device->mountingParams()).ok());
    ASSERT_NO_FATAL_FAILURE(activateAndBind());
    ASSERT_TRUE(device->setEnabledAxes(true, true, true, true, true, true).ok());
    // The facade sees the emulator's frames; the force-control thread then
    // takes them in the next granted cycle.
    ASSERT_TRUE(vorel_test::pollUntil(
        [&] { return readWith(*device, &VorelFTSensor::readForceRaw)[2] == 10.0; }));
    ASSERT_NO_FATAL_FAILURE(restoreHealthyState());
  }

  vorel_device::AdaptiveThread& forceControl() {
    return *vorel_device::test_hooks::adaptiveThread(*device);
  }

  // Grants `cycles` controller cycles, then checks every drive command
  // received since the last check: a reference offset with twelve finite
  // numbers. With `active_throughout`, force control must have sent exactly
  // one command per granted cycle.
  void grantCycles(int cycles, bool active_throughout = true) {
    ASSERT_TRUE(controller->runCycles(cycles));
    checkDriveCommands(active_throughout ? cycles : -1);
  }

  void checkDriveCommands(long expected_new = -1) {
    const std::vector<vorel_test::DriveRecord> records = controller->driveCommands();
    ASSERT_GE(records.size(), checked_);
    if (expected_new >= 0) {
      EXPECT_EQ(static_cast<long>(records.size() - checked_), expected_new)
          << "force control must command the drive once per cycle";
    }
    for (std::size_t i = checked_; i < records.size(); ++i) {
      EXPECT_TRUE(records[i].command.hasReferenceOffset()) << "drive command " << i;
      EXPECT_TRUE(records[i].command.referenceOffset().frame.isFinite())
          << "drive command " << i << " (cycle " << records[i].cycle << ") is not finite";
    }
    checked_ = records.size();
    // Stay within the double's reserve. Only while stepping: no worker can
    // add a record between the check and the clearing.
    if (checked_ > 3000 && !controller->freeRunning()) {
      controller->clearRecords();
      checked_ = 0;
    }
  }

  // Every readout succeeds, and nothing outside rows 0..2 of column 0 of a
  // larger array is written.
  void readEverything() {
    using Read = Result (VorelFTSensor::*)(Array&);
    for (Read read : {&VorelFTSensor::readForceRaw, &VorelFTSensor::readTorqueRaw,
                      &VorelFTSensor::readForceSensorFrame, &VorelFTSensor::readTorqueSensorFrame,
                      &VorelFTSensor::readForce, &VorelFTSensor::readTorque,
                      &VorelFTSensor::readForceFiltered, &VorelFTSensor::readTorqueFiltered}) {
      Array out(4, 2);
      for (std::size_t row = 0; row < 4; ++row)
        out.item(row, 0) = out.item(row, 1) = -7.0;
      EXPECT_TRUE(((*device).*read)(out).ok());
      for (std::size_t row = 0; row < 4; ++row)
        EXPECT_EQ(out.item(row, 1).d(true), -7.0);
      EXPECT_EQ(out.item(3, 0).d(true), -7.0);
    }
  }

  // A bias is accumulated for good: nothing non-finite may enter it.
  void expectFiniteBias() {
    const vorel_device::ftBias bias = SegmentView().read<vorel_device::ftBias>(ss::kWrenchOffset);
    for (int i = 0; i < 6; ++i)
      EXPECT_TRUE(std::isfinite(bias[i])) << "bias " << i;
  }

  // Back to a healthy state: zero bias (written straight into the shared
  // object, whatever huge finite bias the call before left), no user
  // filters, the default system filter with a cleared history, unit gains,
  // and force control off for one cycle (the set-point restarts from zero)
  // and on again.
  void restoreHealthyState() {
    SegmentView().write(ss::kWrenchOffset, vorel_device::ftBias());
    ASSERT_TRUE(device->deactivateForceControl().ok());
    ASSERT_TRUE(device->removeFilter("all").ok());
    Number cutoff(50.0), rising(50.0), falling(-50.0);
    ASSERT_TRUE(device->setSystemFilterParams(cutoff, rising, falling).ok());
    ASSERT_TRUE(device->resetFilters().ok());
    Number translation(1.0), rotation(1.0), smoothing(0.1);
    ASSERT_TRUE(device->setForceControlGains(translation, rotation, smoothing).ok());
    grantCycles(3, false);
    ASSERT_TRUE(forceControl().getFilterChain().empty());
    ASSERT_FALSE(forceControl().isActive());
    ASSERT_TRUE(device->activateForceControl(true, true).ok());
    grantCycles(2, false);
    ASSERT_TRUE(forceControl().isActive());
  }

  std::size_t checked_ = 0;
};

// --- Number arguments ----------------------------------------------------------

// One function called with a bad number in one argument position.
struct NumberCase {
  const char* name;
  std::function<Result(VorelFTSensor&, double)> call;
  int cycles;  // cycles granted after the call (an unstable filter needs time to overflow)
};

// A vector function with the bad number in row 1, then in every row, and a
// tare on top of the bias it left.
NumberCase vectorCase(const char* name, Result (VorelFTSensor::*fn)(Array&)) {
  return {name,
          [fn](VorelFTSensor& d, double bad) {
            Array one = vector3(1.0, bad, -1.0), all = vector3(bad, bad, bad);
            EXPECT_TRUE((d.*fn)(one).ok());
            EXPECT_TRUE((d.*fn)(all).ok());
            return d.tareSensor();
          },
          4};
}

// setForceControlGains (0) or setSystemFilterParams (1) with the bad number
// as argument `which` of three.
NumberCase threeNumbersCase(const char* name, int function, int which) {
  return {name,
          [function, which](VorelFTSensor& d, double bad) {
            std::vector<double> v = function == 0 ? std::vector<double>{1.0, 1.0, 0.1}
                                                  : std::vector<double>{50.0, 50.0, -50.0};
            v[which] = bad;
            Number a(v[0]), b(v[1]), c(v[2]);
            if (function == 0)
              return d.setForceControlGains(a, b, c);
            EXPECT_TRUE(d.setEnabledSystemFilters(true).ok());
            return d.setSystemFilterParams(a, b, c);
          },
          function == 0 ? 6 : 300};
}

// addFilter of `type` with the bad number in every parameter slot that the
// filter does not check by ending the process; rate limiters get rates of
// the sign that bounds the output.
NumberCase filterCase(const char* name, int type) {
  return {name,
          [type](VorelFTSensor& d, double bad) {
            double p[5] = {bad, bad, bad, bad, bad};
            if (type == 1 || type == 4)
              p[2] = 20.0;  // cut-off frequency, Hz
            if (type == 2)
              p[0] = 50.0;  // reject frequency, Hz
            if (type >= 3) {
              p[3] = std::fabs(bad);
              p[4] = -std::fabs(bad);
            }
            return d.addFilter("bad", type, p[0], p[1], p[2], p[3], p[4]);
          },
          6};
}

class BadNumberTest : public BadInputTest, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(BadNumberTest, Function_EveryBadNumber_SucceedsAndDriveStaysFinite) {
  for (double bad : kBadNumbers) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    EXPECT_TRUE(GetParam().call(*device, bad).ok());
    expectFiniteBias();
    grantCycles(GetParam().cycles);
    readEverything();
    ASSERT_NO_FATAL_FAILURE(restoreHealthyState());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Functions, BadNumberTest,
    ::testing::Values(vectorCase("resetForceRaw", &VorelFTSensor::resetForceRaw),
                      vectorCase("resetTorqueRaw", &VorelFTSensor::resetTorqueRaw),
                      vectorCase("resetForceSensorFrame", &VorelFTSensor::resetForceSensorFrame),
                      vectorCase("resetTorqueSensorFrame", &VorelFTSensor::resetTorqueSensorFrame),
                      vectorCase("resetForce", &VorelFTSensor::resetForce),
                      vectorCase("resetTorque", &VorelFTSensor::resetTorque),
                      vectorCase("setForceTrackValue", &VorelFTSensor::setForceTrackValue),
                      vectorCase("setTorqueTrackValue", &VorelFTSensor::setTorqueTrackValue),
                      threeNumbersCase("TranslationGain", 0, 0),
                      threeNumbersCase("RotationGain", 0, 1), threeNumbersCase("Smoothing", 0, 2),
                      threeNumbersCase("SystemCutoff", 1, 0),
                      threeNumbersCase("SystemRisingRate", 1, 1),
                      threeNumbersCase("SystemFallingRate", 1, 2), filterCase("LowPass", 1),
                      filterCase("Notch", 2), filterCase("RateLimiter", 3),
                      filterCase("HighPassRateLimiter", 4)),
    [](const ::testing::TestParamInfo<NumberCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorel_device_test
