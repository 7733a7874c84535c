// The robot-program functions against a real shared segment: what each writes
// into the segment's objects and what each reads from them. A reader creates
// the segment but does not run, and no force-control thread takes the
// requests, so the test sees exactly what the device wrote.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "tests/device/bound_device_fixture.h"

namespace vorel_device_test {
namespace {

namespace ss = vorel_device::shared_segment;
using vorel_device::FilterOptions;
using vorel_device::ftBias;
using vorel_device::Wrench;

class DeviceFunctionsTest : public BoundDeviceTest {
 protected:
  // Publishes the stages as the force-control thread would, and a sensor
  // frame that the facade's 10 ms cycle picks up; waits until it has.
  void publishStages() {
    view->write(ss::kGravityCompensatedWrench, wrenchOf(1.0, 2.0, 3.0, 0.1, 0.2, 0.3));
    view->write(ss::kTcpTransformedWrench, wrenchOf(-4.0, 5.0, -6.0, 0.4, -0.5, 0.6));
    view->write(ss::kTcpFilteredWrench, wrenchOf(7.0, -8.0, 9.0, -0.7, 0.8, -0.9));
    vorel_device::RxFrame frame{};
    frame.header = vorel_device::RxFrame::kHeader;
    const float raw[6] = {10.5f, -11.5f, 12.5f, 1.25f, -1.5f, 1.75f};
    std::memcpy(frame.ft_data, raw, sizeof(raw));
    view->write(ss::kFrame, frame);
    ASSERT_TRUE(vorel_test::pollUntil(
        [&] { return readWith(*device, &VorelFTSensor::readForceRaw)[0] != 0.0; }));
  }
};

// --- Bias ----------------------------------------------------------------------

TEST_F(DeviceFunctionsTest, ResetForceRaw_Targets_ShiftsTheOneBiasOfAllStages) {
  publishStages();
  Array targets = vector3(1.0, 2.0, 3.0);
  ASSERT_TRUE(device->resetForceRaw(targets).ok());

  const ftBias bias = view->read<ftBias>(ss::kWrenchOffset);
  EXPECT_DOUBLE_EQ(bias[0], 9.5);
  EXPECT_DOUBLE_EQ(bias[1], -13.5);
  EXPECT_DOUBLE_EQ(bias[2], 9.5);
  EXPECT_EQ(bias[3], 0.0);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceRaw), 1.0, 2.0, 3.0, 1e-12);
  // The sensor-frame and tool-frame readouts shift by the same amounts.
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceSensorFrame), 1.0 - 9.5, 2.0 + 13.5,
                   3.0 - 9.5, 1e-12);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForce), -4.0 - 9.5, 5.0 + 13.5, -6.0 - 9.5,
                   1e-12);
}

TEST_F(DeviceFunctionsTest, ResetTorqueStages_Targets_EachStageReadsItsTargets) {
  publishStages();
  Array targets = vector3(0.0, 0.0, 0.0);
  ASSERT_TRUE(device->resetTorqueSensorFrame(targets).ok());
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readTorqueSensorFrame), 0.0, 0.0, 0.0, 1e-12);
  Array torque_targets = vector3(0.5, -0.5, 0.25);
  ASSERT_TRUE(device->resetTorqueRaw(torque_targets).ok());
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readTorqueRaw), 0.5, -0.5, 0.25, 1e-12);
  ASSERT_TRUE(device->resetTorque(torque_targets).ok());
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readTorque), 0.5, -0.5, 0.25, 1e-12);
  Array force_targets = vector3(-1.0, 0.0, 1.0);
  ASSERT_TRUE(device->resetForceSensorFrame(force_targets).ok());
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceSensorFrame), -1.0, 0.0, 1.0, 1e-12);
  // The bias now is the tool-frame torque minus its targets.
  const ftBias bias = view->read<ftBias>(ss::kWrenchOffset);
  EXPECT_NEAR(bias[3], 0.4 - 0.5, 1e-12);
  EXPECT_NEAR(bias[4], -0.5 + 0.5, 1e-12);
  EXPECT_NEAR(bias[5], 0.6 - 0.25, 1e-12);
}

// Before the sensor pose reaches force control the tool-frame wrench is NaN;
// a bias taken from it could never be removed again.
TEST_F(DeviceFunctionsTest, TareAndResets_NonFiniteReadingOrTarget_RefusedBiasUnchanged) {
  publishStages();
  Array targets = vector3(0.0, 0.0, 1.0);
  ASSERT_TRUE(device->resetForce(targets).ok());
  const ftBias before = view->read<ftBias>(ss::kWrenchOffset);
  console.clear();

  const double nan = std::numeric_limits<double>::quiet_NaN();
  view->write(ss::kTcpTransformedWrench, wrenchOf(nan, nan, nan, nan, nan, nan));
  EXPECT_TRUE(device->tareSensor().ok());
  EXPECT_TRUE(device->resetTorque(targets).ok());
  view->write(ss::kTcpTransformedWrench, wrenchOf(-4.0, 5.0, -6.0, 0.4, -0.5, 0.6));
  Array infinite = vector3(0.0, std::numeric_limits<double>::infinity(), 0.0);
  EXPECT_TRUE(device->resetForce(infinite).ok());

  const ftBias after = view->read<ftBias>(ss::kWrenchOffset);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(after[i], before[i]) << i;
  expectErrorLines(console.lines(), {"tareSensor", "resetTorque", "resetForce"},
                   "not a finite number");
  // A finite reading is taken again.
  EXPECT_TRUE(device->tareSensor().ok());
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForce), 0.0, 0.0, 0.0, 1e-12);
}

// Targets, gains and system-filter parameters enter the filters' state: a
// NaN there would hold force control until the filter history is reset.
TEST_F(DeviceFunctionsTest, Settings_NonFinite_RefusedSharedValuesUnchanged) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  Array force = vector3(0.0, nan, 0.0);
  Array torque = vector3(inf, 0.0, 0.0);
  Number one(1.0), bad(nan), fifty(50.0), minus_fifty(-50.0), infinite(-inf);
  EXPECT_TRUE(device->setForceTrackValue(force).ok());
  EXPECT_TRUE(device->setTorqueTrackValue(torque).ok());
  EXPECT_TRUE(device->setForceControlGains(one, one, bad).ok());
  EXPECT_TRUE(device->setSystemFilterParams(fifty, fifty, infinite).ok());

  const Wrench track = view->read<Wrench>(ss::kTrackWrench);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(track[i], 0.0) << i;
  const vorel_device::Gains gains = view->read<vorel_device::Gains>(ss::kGains);
  EXPECT_EQ(gains.translation_gain, 5.0);
  EXPECT_EQ(gains.track_smoothing, 0.01);
  const auto params = view->read<vorel_device::SystemFilterParams>(ss::kSystemFilterParams);
  EXPECT_EQ(params.falling_rate, -50.0);
  expectErrorLines(console.lines(),
                   {"setForceTrackValue", "setTorqueTrackValue", "setForceControlGains",
                    "setSystemFilterParams"},
                   "not a finite number");
  // Finite values still go through.
  EXPECT_TRUE(device->setSystemFilterParams(fifty, fifty, minus_fifty).ok());
  EXPECT_TRUE(device->setForceControlGains(one, one, one).ok());
  EXPECT_EQ(view->read<vorel_device::Gains>(ss::kGains).translation_gain, 1.0);
  EXPECT_EQ(console.lines().size(), 4u);
}

// --- Force-control commands --------------------------------------------------

TEST_F(DeviceFunctionsTest, ControlFunctions_Arguments_WrittenInOrder) {
  Array force = vector3(1.0, -2.0, 3.0);
  Array torque = vector3(-0.1, 0.2, -0.3);
  ASSERT_TRUE(device->setForceTrackValue(force).ok());
  ASSERT_TRUE(device->setTorqueTrackValue(torque).ok());
  ASSERT_TRUE(device->activateForceControl(false, true).ok());
  ASSERT_TRUE(device->setEnabledAxes(true, false, true, false, false, true).ok());
  Number gain_t(2.5), gain_r(1.5), smoothing(0.2);
  ASSERT_TRUE(device->setForceControlGains(gain_t, gain_r, smoothing).ok());
  ASSERT_TRUE(device->setEnabledSystemFilters(true).ok());
  Number cutoff(20.0), rising(30.0), falling(-40.0);
  ASSERT_TRUE(device->setSystemFilterParams(cutoff, rising, falling).ok());
  ASSERT_TRUE(device->resetFilters().ok());

  const Wrench track = view->read<Wrench>(ss::kTrackWrench);
  const double expected_track[6] = {1.0, -2.0, 3.0, -0.1, 0.2, -0.3};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(track[i], expected_track[i]) << i;
  EXPECT_FALSE(view->read<bool>(ss::kActivateTranslation));
  EXPECT_TRUE(view->read<bool>(ss::kActivateRotation));
  EXPECT_EQ(view->read<ss::EnabledAxes>(ss::kEnabledAxes), (ss::EnabledAxes{1, 0, 1, 0, 0, 1}));
  const vorel_device::Gains gains = view->read<vorel_device::Gains>(ss::kGains);
  EXPECT_EQ(gains.translation_gain, 2.5);
  EXPECT_EQ(gains.rotation_gain, 1.5);
  EXPECT_EQ(gains.track_smoothing, 0.2);
  EXPECT_EQ(view->read<ss::EnabledSystemFilters>(ss::kEnabledSystemFilters)[0], 1);
  const auto params = view->read<vorel_device::SystemFilterParams>(ss::kSystemFilterParams);
  EXPECT_EQ(params.cutoff_frequency, 20.0);
  EXPECT_EQ(params.rising_rate, 30.0);
  EXPECT_EQ(params.falling_rate, -40.0);
  EXPECT_TRUE(view->read<bool>(ss::kResetFilterHistory));
  EXPECT_TRUE(console.lines().empty());
}

TEST_F(DeviceFunctionsTest, DeactivateForceControl_AlreadyOff_StillWritesZeroTrackValues) {
  // Targets left by another participant while force control is off.
  view->write(ss::kTrackWrench, wrenchOf(5.0, 6.0, 7.0, 0.5, 0.6, 0.7));
  ASSERT_FALSE(view->read<bool>(ss::kActivateTranslation));

  ASSERT_TRUE(device->deactivateForceControl().ok());

  const Wrench track = view->read<Wrench>(ss::kTrackWrench);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(track[i], 0.0) << i;
  EXPECT_FALSE(view->read<bool>(ss::kActivateTranslation));
  EXPECT_FALSE(view->read<bool>(ss::kActivateRotation));
}

// --- Filter requests ---------------------------------------------------------

TEST_F(DeviceFunctionsTest, AddFilter_Request_ParametersInOrderNameCutToForty) {
  const std::string name(39, 'n');
  ASSERT_TRUE(device->addFilter(name, 2, 50.0, 4.0, 10.0, 20.0, -30.0).ok());

  EXPECT_EQ(view->read<std::int32_t>(ss::kNewFilterFlag), 1);
  FilterOptions request = view->read<FilterOptions>(ss::kTempFilterOptions);
  EXPECT_EQ(std::string(request.name, FilterOptions::kNameSize), name + '\0');
  EXPECT_EQ(request.type, 2);
  EXPECT_EQ(request.reject_frequency, 50.0);
  EXPECT_EQ(request.bandwidth, 4.0);
  EXPECT_EQ(request.cutoff_frequency, 10.0);
  EXPECT_EQ(request.rising_rate, 20.0);
  EXPECT_EQ(request.falling_rate, -30.0);

  // A 45-character name: its first 40 characters, without a terminating zero.
  view->write(ss::kNewFilterFlag, std::int32_t{0});
  std::string long_name;
  for (int i = 0; i < 45; ++i)
    long_name += static_cast<char>('a' + i % 26);
  ASSERT_TRUE(device->addFilter(long_name, 1, 0.0, 0.0, 25.0, 0.0, 0.0).ok());
  request = view->read<FilterOptions>(ss::kTempFilterOptions);
  EXPECT_EQ(std::string(request.name, FilterOptions::kNameSize), long_name.substr(0, 40));
  EXPECT_EQ(request.key(), long_name.substr(0, 40));
}

TEST_F(DeviceFunctionsTest, AddFilter_TypeOutsideOneToFour_RefusedWithErrorAndNothingSent) {
  for (int type : {0, 5, -1}) {
    ASSERT_TRUE(device->addFilter("notch", type, 50.0, 4.0, 0.0, 0.0, 0.0).ok());
  }

  EXPECT_EQ(view->read<std::int32_t>(ss::kNewFilterFlag), 0);
  const FilterOptions request = view->read<FilterOptions>(ss::kTempFilterOptions);
  EXPECT_EQ(request.key(), "");
  EXPECT_EQ(request.type, 0);
  expectErrorLines(console.lines(), {"addFilter", "addFilter", "addFilter"}, "unknown filter type");
}

TEST_F(DeviceFunctionsTest, RemoveFilter_Name_RequestCarriesRemovalDefaults) {
  ASSERT_TRUE(device->removeFilter("never-added").ok());

  EXPECT_EQ(view->read<std::int32_t>(ss::kNewFilterFlag), -1);
  const FilterOptions request = view->read<FilterOptions>(ss::kTempFilterOptions);
  EXPECT_EQ(request.key(), "never-added");
  EXPECT_EQ(request.type, 0);
  EXPECT_EQ(request.reject_frequency, -1.0);
  EXPECT_EQ(request.bandwidth, -1.0);
  EXPECT_EQ(request.cutoff_frequency, -1.0);
  EXPECT_EQ(request.rising_rate, 0.0);
  EXPECT_EQ(request.falling_rate, 0.0);
}

// --- Before onBind ---------------------------------------------------------------

TEST(DeviceUnboundTest, Functions_BeforeBind_ErrorLineEachAndNothingTouched) {
  vorel_test::InstalledController controller;
  vorel_device::VorelForceTorqueSensorComm reader(5);
  VorelFTSensor device(controller.program(),
                       deviceConfig(activationXml("/dev/null", "500") + mountingXml()));
  SegmentView view;
  vorel_test::ConsoleCapture console;
  Array a = vector3(1.0, 2.0, 3.0);
  Number n1(1.0), n2(2.0), n3(3.0), n4(4.0);

  std::vector<std::string> names;
  auto call = [&](const char* name, const VorelFTSensor::Result& result) {
    EXPECT_TRUE(result.ok()) << name;
    names.push_back(name);
  };
  call("readForceRaw", device.readForceRaw(a));
  call("readTorqueRaw", device.readTorqueRaw(a));
  call("readForceSensorFrame", device.readForceSensorFrame(a));
  call("readTorqueSensorFrame", device.readTorqueSensorFrame(a));
  call("readForce", device.readForce(a));
  call("readTorque", device.readTorque(a));
  call("readForceFiltered", device.readForceFiltered(a));
  call("readTorqueFiltered", device.readTorqueFiltered(a));
  call("resetForceRaw", device.resetForceRaw(a));
  call("resetTorqueRaw", device.resetTorqueRaw(a));
  call("resetForceSensorFrame", device.resetForceSensorFrame(a));
  call("resetTorqueSensorFrame", device.resetTorqueSensorFrame(a));
  call("tareSensor", device.tareSensor());
  call("resetForce", device.resetForce(a));
  call("resetTorque", device.resetTorque(a));
  call("setForceTrackValue", device.setForceTrackValue(a));
  call("setTorqueTrackValue", device.setTorqueTrackValue(a));
  call("moveToContact", device.moveToContact(0, 2, n1, n2, n3, n4));
  call("activateForceControl", device.activateForceControl(true, true));
  call("deactivateForceControl", device.deactivateForceControl());
  call("setEnabledAxes", device.setEnabledAxes(true, true, true, true, true, true));
  call("setForceControlGains", device.setForceControlGains(n1, n2, n3));
  call("setEnabledSystemFilters", device.setEnabledSystemFilters(true));
  call("setSystemFilterParams", device.setSystemFilterParams(n1, n2, n3));
  call("resetFilters", device.resetFilters());
  call("addFilter", device.addFilter("lp", 1, 0.0, 0.0, 10.0, 0.0, 0.0));
  call("removeFilter", device.removeFilter("lp"));
  call("clearLoadSamples", device.clearLoadSamples());

  expectErrorLines(console.lines(), names, "not bound");
  // Nothing was read into the array, nothing reached the segment or the robot.
  EXPECT_EQ(rows(a), (Vec3{1.0, 2.0, 3.0}));
  EXPECT_FALSE(view.read<bool>(ss::kActivateTranslation));
  EXPECT_EQ(view.read<std::int32_t>(ss::kNewFilterFlag), 0);
  EXPECT_EQ(view.read<Wrench>(ss::kTrackWrench)[0], 0.0);
  EXPECT_EQ(view.read<ftBias>(ss::kWrenchOffset)[0], 0.0);
  EXPECT_EQ(view.read<ss::EnabledAxes>(ss::kEnabledAxes)[0], 0);
  EXPECT_FALSE(view.read<bool>(ss::kResetFilterHistory));
  EXPECT_EQ(controller->syncCount(), 0u);
  EXPECT_EQ(controller->motionCommandCount(), 0u);
  EXPECT_TRUE(device.programRunning());

  // A program termination says what it does and what it cannot do.
  console.clear();
  device.onProgramTerminated(hx4_signal::ProgramTerminated{1});
  expectErrorLines(console.lines(), {"onProgramTerminated"}, "not bound");
  EXPECT_FALSE(device.programRunning());
  EXPECT_EQ(view.read<std::int32_t>(ss::kNewFilterFlag), 0);
}

}  // namespace
}  // namespace vorel_device_test
