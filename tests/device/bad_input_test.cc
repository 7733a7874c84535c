// Bad input through every robot-program function of the device, in one
// process: the sensor emulator on a pseudo-terminal as the sensor, the
// stepping controller double as the controller, the real reader, facade and
// force-control threads on the real shared segment, force control on every
// axis. Each function gets NaN, infinities, huge values, empty, 40- and
// 45-byte names and filter type codes -1 to 5 (never a filter frequency out
// of its range: those end the process on purpose; rate-limiter rates with the
// sign that bounds the output, so that only NaN rates and the notch
// bandwidths are refused as unstable). After every call the test
// grants controller cycles and checks that the call returned success, that
// the force-control thread still commands the drive once per cycle, and that
// every reference offset the drive received is finite.
//
// Cases are independent: between two cases the test brings the device back
// to a healthy state (zero bias, zero targets, no user filters, force control
// switched off for one cycle and on again).
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/make_shared.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "adaptive/adaptive_thread.h"
#include "comm/shared_segment.h"
#include "device/vorel_ft_sensor.h"
#include "sim/sensor/sensor_emulator.h"
#include "tests/support/console_capture.h"
#include "tests/support/installed_controller.h"

namespace {

namespace ss = vorel_device::shared_segment;
using Array = hx4_program_api::Array<hx4_program_api::Number>;
using hx4_program_api::Number;
using hx4rc_api::Model;
using vorel_device::VorelFTSensor;
using Result = VorelFTSensor::Result;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();
const double kTiny = std::numeric_limits<double>::denorm_min();

// Numbers no robot program should send, but one may: non-finite, finite but
// overflowing as soon as they are scaled or squared, and a subnormal.
const std::vector<double> kBadNumbers = {kNaN, kInf, -kInf, kMax, -kMax, 1e300, -1e300, kTiny};

// Names: empty, exactly the 40-byte field, and 45 bytes whose first 40 are
// the 40-byte name (so both have the same chain key).
const std::string kName40(40, 'n');
const std::string kName45 = kName40 + "45678";

const char* const kNonFiniteLine =
    "Non-finite force-control input: reference offset held at its last value";
const char* const kNoSuchFilterLine = "No filter such filter found, doing nothing";

// What the emulator sends: force (N) and torque (N m) in sensor axes.
vorel_device::Wrench sensorWrench() {
  vorel_device::Wrench w;
  const double values[6] = {1.5, -2.25, 10.0, 0.125, 0.25, -0.5};
  for (int i = 0; i < 6; ++i)
    w[i] = values[i];
  return w;
}

boost::property_tree::ptree deviceConfig(const std::string& port) {
  std::istringstream xml(
      "<device class=\"vorel_device::VorelFTSensor\" label=\"ft_sensor\" plux=\"vorel\">"
      "<activation><arg type=\"string\">" +
      port +
      "</arg><arg type=\"double\">500</arg></activation>"
      "<mounting><arg type=\"load\"><mass>0.8</mass><cog>0 0 0.04</cog></arg>"
      "<arg type=\"rpose\"><pos>0 0 0.035</pos><rpy>0 0 0</rpy></arg></mounting>"
      "</device>");
  boost::property_tree::ptree tree;
  boost::property_tree::read_xml(xml, tree);
  return tree.get_child("device");
}

Array vector3(double x, double y, double z) {
  Array a(3, 1);
  a.item(0, 0) = x;
  a.item(1, 0) = y;
  a.item(2, 0) = z;
  return a;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

long countLine(const std::vector<std::string>& lines, const std::string& line) {
  long n = 0;
  for (const std::string& l : lines)
    n += (l == line) ? 1 : 0;
  return n;
}

std::string describe(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

class BadInputSweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller->setRcState(hx4rc_api::State::SysStat_RCState::kLoadModelReady);
    emulator.setWrench(sensorWrench());
    ASSERT_TRUE(emulator.start());
    device =
        boost::make_shared<VorelFTSensor>(controller.program(), deviceConfig(emulator.slavePath()));
    ASSERT_EQ(device->onCreate(), 0);
    ASSERT_TRUE(device->onMount(*device->mountingParams()).ok());
    ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
    ASSERT_EQ(device->onBind(), 0);
    // Force control on every axis, with a real sensor wrench flowing.
    ASSERT_TRUE(device->setEnabledAxes(true, true, true, true, true, true).ok());
    ASSERT_TRUE(device->activateForceControl(true, true).ok());
    ASSERT_TRUE(awaitSensorWrench());
    ASSERT_NO_FATAL_FAILURE(restoreHealthyState());
  }

  void TearDown() override {
    controller->setMoveHook(nullptr);
    controller->setFreeRunning(true);
    if (device) {
      device->onUnbind();
      device->onDestroy();
    }
    emulator.stop();
  }

  vorel_device::AdaptiveThread& forceControl() { return *device->adaptiveThread(); }

  // Waits (guarded) until the facade sees the emulator's frames, then lets
  // the force-control thread take them: the first granted cycle finishes the
  // snapshot taken before, the second works on the new frame.
  bool awaitSensorWrench() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      Array force = vector3(0.0, 0.0, 0.0);
      device->readForceRaw(force);
      if (force.item(2, 0).d(true) == 10.0)
        return controller->runCycles(2);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
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
      const auto& command = records[i].command;
      EXPECT_TRUE(command.hasReferenceOffset()) << "drive command " << i;
      EXPECT_TRUE(command.referenceOffset().frame.isFinite())
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

  // Every readout, with arrays holding NaN before the call: success, and
  // nothing outside rows 0..2 of column 0 is written.
  void readEverything() {
    using Read = Result (VorelFTSensor::*)(Array&);
    const Read reads[] = {&VorelFTSensor::readForceRaw,
                          &VorelFTSensor::readTorqueRaw,
                          &VorelFTSensor::readForceSensorFrame,
                          &VorelFTSensor::readTorqueSensorFrame,
                          &VorelFTSensor::readForce,
                          &VorelFTSensor::readTorque,
                          &VorelFTSensor::readForceFiltered,
                          &VorelFTSensor::readTorqueFiltered};
    for (Read read : reads) {
      Array out(4, 2);
      for (std::size_t row = 0; row < 4; ++row) {
        out.item(row, 0) = kNaN;
        out.item(row, 1) = -7.0;
      }
      EXPECT_TRUE(((*device).*read)(out).ok());
      EXPECT_TRUE(std::isnan(out.item(3, 0).d(true)));
      for (std::size_t row = 0; row < 4; ++row)
        EXPECT_EQ(out.item(row, 1).d(true), -7.0);
    }
  }

  // The bias every readout and force control subtract, as the shared
  // segment holds it.
  vorel_device::ftBias sharedBias() {
    ss::Segment segment = ss::openSegment();
    boost::shared_ptr<ss::Mutex> mutex = ss::openMutex();
    ss::Lock lock(*mutex);
    const vorel_device::ftBias* bias = ss::find<vorel_device::ftBias>(segment, ss::kWrenchOffset);
    return bias ? *bias : vorel_device::ftBias();
  }

  static bool finite(const vorel_device::ftBias& bias) {
    for (int i = 0; i < 6; ++i) {
      if (!std::isfinite(bias[i]))
        return false;
    }
    return true;
  }

  // Back to a healthy state: zero bias (written straight into the shared
  // object, so that every case starts from the same bias, whatever huge
  // finite bias the one before left), zero targets, no user filters, the
  // default system filter with a cleared history, unit gains, and force
  // control off for one cycle (the set-point restarts from zero) and on
  // again.
  void restoreHealthyState() {
    {
      ss::Segment segment = ss::openSegment();
      boost::shared_ptr<ss::Mutex> mutex = ss::openMutex();
      ss::Lock lock(*mutex);
      vorel_device::ftBias* bias = ss::find<vorel_device::ftBias>(segment, ss::kWrenchOffset);
      ASSERT_NE(bias, nullptr);
      *bias = vorel_device::ftBias();
    }
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
    checkDriveCommands();
  }

  // The console writes of the functions under test. The stepping controller
  // grants cycles faster than the emulator sends its real-time 500 Hz frames,
  // so the stale-sensor supervisor's own lines come and go in between; they
  // are left out.
  std::vector<std::string> functionWrites() const {
    std::vector<std::string> kept;
    for (const std::string& w : console.writes()) {
      if (w.rfind("[ERROR] Sensor stale: ", 0) != 0 &&
          w.rfind("[INFO] Sensor usable again", 0) != 0)
        kept.push_back(w);
    }
    return kept;
  }

  vorel_test::ConsoleCapture console;
  vorel_test::InstalledController controller;
  vorel_sim::SensorEmulator emulator;
  boost::shared_ptr<VorelFTSensor> device;
  std::size_t checked_ = 0;
};

TEST_F(BadInputSweepTest, ResetsTareAndTrackValues_BadTargets_SucceedAndDriveStaysFinite) {
  using VectorFn = Result (VorelFTSensor::*)(Array&);
  const std::pair<const char*, VectorFn> functions[] = {
      {"resetForceRaw", &VorelFTSensor::resetForceRaw},
      {"resetTorqueRaw", &VorelFTSensor::resetTorqueRaw},
      {"resetForceSensorFrame", &VorelFTSensor::resetForceSensorFrame},
      {"resetTorqueSensorFrame", &VorelFTSensor::resetTorqueSensorFrame},
      {"resetForce", &VorelFTSensor::resetForce},
      {"resetTorque", &VorelFTSensor::resetTorque},
      {"setForceTrackValue", &VorelFTSensor::setForceTrackValue},
      {"setTorqueTrackValue", &VorelFTSensor::setTorqueTrackValue},
  };
  for (const auto& [name, fn] : functions) {
    for (double bad : kBadNumbers) {
      for (bool all_rows : {false, true}) {
        SCOPED_TRACE(std::string(name) + " with " + describe(bad) +
                     (all_rows ? " in every row" : " in row 1"));
        Array targets = all_rows ? vector3(bad, bad, bad) : vector3(1.0, bad, -1.0);
        EXPECT_TRUE(((*device).*fn)(targets).ok());
        // A bias is accumulated for good: nothing non-finite may enter it.
        EXPECT_TRUE(finite(sharedBias()));
        grantCycles(4);
        // A tare on top of whatever the bias now holds.
        EXPECT_TRUE(device->tareSensor().ok());
        EXPECT_TRUE(finite(sharedBias()));
        grantCycles(4);
        readEverything();
        ASSERT_NO_FATAL_FAILURE(restoreHealthyState());
      }
    }
  }
}

TEST_F(BadInputSweepTest, GainsAndSystemFilter_BadNumbers_SucceedAndDriveStaysFinite) {
  ASSERT_TRUE(device->setEnabledSystemFilters(true).ok());
  for (int which = 0; which < 3; ++which) {
    for (double bad : kBadNumbers) {
      SCOPED_TRACE("gain argument " + std::to_string(which) + " = " + describe(bad));
      double values[3] = {1.0, 1.0, 0.1};
      values[which] = bad;
      Number translation(values[0]), rotation(values[1]), smoothing(values[2]);
      const std::size_t console_before = functionWrites().size();
      testing::internal::CaptureStdout();
      EXPECT_TRUE(device->setForceControlGains(translation, rotation, smoothing).ok());
      grantCycles(6);
      const std::vector<std::string> lines = linesOf(testing::internal::GetCapturedStdout());
      // The guard that keeps non-finite offsets from the drive says so at
      // most once per activation, however many cycles it acts in.
      EXPECT_LE(countLine(lines, kNonFiniteLine), 1);
      if (!std::isfinite(bad)) {
        // A gain that is not a finite number never reaches force control.
        const std::vector<std::string> writes = functionWrites();
        ASSERT_EQ(writes.size(), console_before + 1);
        EXPECT_EQ(writes.back(),
                  "[ERROR] setForceControlGains: a value is not a finite number; nothing was "
                  "changed\n");
        EXPECT_EQ(countLine(lines, kNonFiniteLine), 0);
      }
      readEverything();
      ASSERT_NO_FATAL_FAILURE(restoreHealthyState());
    }
  }

  std::vector<double> system_filter_values = kBadNumbers;
  system_filter_values.push_back(-100.0);  // an unstable low-pass: refused
  for (int which = 0; which < 3; ++which) {
    for (double bad : system_filter_values) {
      SCOPED_TRACE("system filter argument " + std::to_string(which) + " = " + describe(bad));
      double values[3] = {50.0, 50.0, -50.0};
      values[which] = bad;
      Number cutoff(values[0]), rising(values[1]), falling(values[2]);
      EXPECT_TRUE(device->setEnabledSystemFilters(true).ok());
      EXPECT_TRUE(device->setSystemFilterParams(cutoff, rising, falling).ok());
      grantCycles(4);
      EXPECT_TRUE(device->resetFilters().ok());
      grantCycles(4);
      EXPECT_TRUE(device->setEnabledSystemFilters(false).ok());
      grantCycles(2);
      EXPECT_TRUE(device->setEnabledSystemFilters(true).ok());
      grantCycles(300);  // long enough for the unstable filter to overflow
      readEverything();
      ASSERT_NO_FATAL_FAILURE(restoreHealthyState());
    }
  }

  // The switches, in every order a program could send them.
  EXPECT_TRUE(device->setEnabledAxes(false, false, false, false, false, false).ok());
  grantCycles(3);
  EXPECT_TRUE(device->setEnabledAxes(true, false, true, false, true, false).ok());
  grantCycles(3);
  EXPECT_TRUE(device->activateForceControl(true, false).ok());
  EXPECT_TRUE(device->activateForceControl(false, true).ok());
  grantCycles(3);
  EXPECT_TRUE(device->deactivateForceControl().ok());
  EXPECT_TRUE(device->deactivateForceControl().ok());
  grantCycles(3, false);
  EXPECT_FALSE(forceControl().isActive());
  EXPECT_TRUE(device->resetFilters().ok());
  EXPECT_TRUE(device->resetFilters().ok());
  grantCycles(3, false);
  readEverything();
}

TEST_F(BadInputSweepTest, AddAndRemoveFilter_BadTypesNamesAndParameters_ChainStaysConsistent) {
  const std::string names[] = {"", kName40, kName45};
  // Per type: the parameter slots (p1..p5) that must stay in range because
  // the filter checks them by ending the process. 0-based.
  const std::set<int> checked_slots[] = {{}, {2}, {0}, {}, {2}};
  const double in_range[5] = {50.0, 10.0, 20.0, 50.0, -50.0};

  for (int type = -1; type <= 5; ++type) {
    for (const std::string& name : names) {
      const std::string key = name.substr(0, 40);
      for (double bad : kBadNumbers) {
        SCOPED_TRACE("type " + std::to_string(type) + ", name of " + std::to_string(name.size()) +
                     " bytes, bad value " + describe(bad));
        double p[5];
        for (int slot = 0; slot < 5; ++slot) {
          const bool fatal_slot = type >= 1 && type <= 4 && checked_slots[type].count(slot) != 0;
          p[slot] = fatal_slot ? in_range[slot] : bad;
        }
        if (type == 3 || type == 4) {
          // Rates of the sign that bounds the output (a rising rate below 0
          // or a falling rate above 0 is refused as unstable).
          p[3] = std::fabs(bad);
          p[4] = -std::fabs(bad);
        }
        // Refused by the device: a type outside 1..4, any of these notch
        // bandwidths (none lies in (0, 82.4] Hz with poles inside the unit
        // circle) and NaN rates.
        const bool known_type = type >= 1 && type <= 4;
        const bool unstable = type == 2 || ((type == 3 || type == 4) && std::isnan(bad));
        const bool added = known_type && !unstable;
        const std::size_t console_before = functionWrites().size();
        EXPECT_TRUE(device->addFilter(name, type, p[0], p[1], p[2], p[3], p[4]).ok());
        grantCycles(1);
        const vorel_device::FilterChain& chain = forceControl().getFilterChain();
        if (added) {
          ASSERT_EQ(chain.size(), 1u);
          EXPECT_EQ(chain.order().front(), key);
          ASSERT_NE(chain.find(key), nullptr);
          EXPECT_EQ(chain.find(key)->type(), type);
          EXPECT_EQ(functionWrites().size(), console_before);
        } else {
          // Nothing reaches the force-control thread.
          EXPECT_TRUE(chain.empty());
          const std::vector<std::string> writes = functionWrites();
          ASSERT_EQ(writes.size(), console_before + 1);
          const std::string expected_start =
              known_type ? "[ERROR] addFilter: filter \"" + name + "\": "
                         : "[ERROR] addFilter: unknown filter type " + std::to_string(type);
          EXPECT_EQ(writes.back().compare(0, expected_start.size(), expected_start), 0)
              << writes.back();
        }
        grantCycles(6);
        readEverything();

        // Removal by the given name (a 45-byte name by its first 40 bytes).
        testing::internal::CaptureStdout();
        EXPECT_TRUE(device->removeFilter(name).ok());
        grantCycles(2);
        const std::vector<std::string> lines = linesOf(testing::internal::GetCapturedStdout());
        EXPECT_TRUE(forceControl().getFilterChain().empty());
        EXPECT_EQ(countLine(lines, kNoSuchFilterLine), added ? 0 : 1);
        ASSERT_NO_FATAL_FAILURE(restoreHealthyState());
      }
    }
  }

  // Several filters with bad parameters at once, and names that collide in
  // their first 40 bytes: the chain holds each key once.
  EXPECT_TRUE(device->addFilter(kName40, 3, kNaN, kNaN, kNaN, kInf, -kInf).ok());
  grantCycles(1);
  EXPECT_TRUE(device->addFilter("", 2, 50.0, 82.4, kNaN, kNaN, kNaN).ok());
  grantCycles(1);
  EXPECT_TRUE(device->addFilter(kName45, 4, kNaN, kNaN, 20.0, 1e300, -1e300).ok());
  grantCycles(1);
  EXPECT_TRUE(device->addFilter("notch at 0 Hz", 2, 0.0, kNaN, kNaN, kNaN, kNaN).ok());
  grantCycles(1);
  const vorel_device::FilterChain& chain = forceControl().getFilterChain();
  EXPECT_EQ(chain.order(), (std::vector<std::string>{"", kName40, "notch at 0 Hz"}));
  ASSERT_NE(chain.find(kName40), nullptr);
  EXPECT_EQ(chain.find(kName40)->type(), 4);
  grantCycles(20);
  readEverything();
  EXPECT_TRUE(device->removeFilter("all").ok());
  grantCycles(2);
  EXPECT_TRUE(forceControl().getFilterChain().empty());
}

// moveToContact synchronises with the controller like a robot program, so
// the controller runs free (with a short pause per cycle) while it runs; a
// move lets the tool arrive at once at a valid target.
class MoveToContactSweepTest : public BadInputSweepTest {
 protected:
  void SetUp() override {
    BadInputSweepTest::SetUp();
    if (HasFatalFailure())
      return;
    controller->setMoveHook(
        [this](const hx4rc_api::Motion::Target& target, const hx4rc_api::Motion::Params&) {
          if (target.frame_id != 0 && target.frame.isFinite()) {
            controller->setFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD,
                                 target.frame);
          }
        });
    controller->setFreeRunning(true, std::chrono::microseconds(200));
  }

  // Calls moveToContact on its own thread and waits (guarded) for its
  // return; a call still running after the guard is ended by a program
  // termination and fails the test. Then checks the motion commands it
  // issued: a valid target (world frame id) is finite; an invalid one carries
  // id 0.
  Result moveToContact(int frame, int axis, double speed, double threshold, double max_distance,
                       double retract) {
    // Every call starts with the tool at the world origin.
    controller->setFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD,
                         hx4rc_api::Frame::Identity());
    const std::size_t motions_before = controller->motionCommandCount();
    Number speed_n(speed), threshold_n(threshold), max_n(max_distance), retract_n(retract);
    auto call = std::async(std::launch::async, [&] {
      return device->moveToContact(frame, axis, speed_n, threshold_n, max_n, retract_n);
    });
    if (call.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "moveToContact did not return";
      device->onProgramTerminated(hx4_signal::ProgramTerminated{});
    }
    const Result result = call.get();
    checkMotionCommands(motions_before);
    checkDriveCommands();
    return result;
  }

  void checkMotionCommands(std::size_t from) {
    const std::vector<vorel_test::MotionRecord> motions = controller->motionCommands();
    for (std::size_t i = from; i < motions.size(); ++i) {
      const hx4rc_api::Motion::Target& target = motions[i].target;
      if (target.frame_id == 0)
        continue;  // no valid target: the controller does not move
      EXPECT_EQ(target.frame_id, static_cast<std::int32_t>(Model::SysId::FRAME_WORLD));
      EXPECT_TRUE(target.frame.isFinite()) << "motion command " << i;
    }
  }
};

TEST_F(MoveToContactSweepTest, MoveToContact_BadArguments_ReturnsAndCommandsFiniteTargets) {
  const int bad_ints[] = {-1, 3, 7, std::numeric_limits<int>::max(),
                          std::numeric_limits<int>::min()};
  std::vector<double> speeds = kBadNumbers;
  speeds.push_back(0.0);
  // Contact at the first pass (the force norm is never below a negative
  // threshold), then the retract with bad arguments.
  for (double speed : speeds) {
    for (double retract : kBadNumbers) {
      SCOPED_TRACE("contact: speed " + describe(speed) + ", retract " + describe(retract));
      EXPECT_TRUE(moveToContact(0, 2, speed, -1.0, 100.0, retract).ok());
      EXPECT_TRUE(moveToContact(1, 0, speed, -kInf, 100.0, retract).ok());
    }
  }
  for (int bad : bad_ints) {
    SCOPED_TRACE("contact: frame or axis " + std::to_string(bad));
    EXPECT_TRUE(moveToContact(bad, 2, 50.0, -kMax, 100.0, 5.0).ok());
    EXPECT_TRUE(moveToContact(0, bad, 50.0, -1.0, 100.0, 5.0).ok());
  }
  // No contact (threshold out of reach), the travel limit passed at the
  // first pass (a negative limit) or after a few steps.
  for (double threshold : {kInf, kMax, 1e300}) {
    for (double limit : {-kInf, -kMax, -1e300, -1.0}) {
      for (double speed : speeds) {
        SCOPED_TRACE("limit: threshold " + describe(threshold) + ", limit " + describe(limit) +
                     ", speed " + describe(speed));
        EXPECT_TRUE(moveToContact(0, 2, speed, threshold, limit, kNaN).ok());
      }
    }
    SCOPED_TRACE("limit after travel: threshold " + describe(threshold));
    EXPECT_TRUE(moveToContact(0, 2, 50.0, threshold, 0.0, 5.0).ok());
    EXPECT_TRUE(moveToContact(1, 1, -50.0, threshold, 20.0, 5.0).ok());
    EXPECT_TRUE(moveToContact(0, 0, 1e300, threshold, 1e300, 5.0).ok());
    EXPECT_TRUE(moveToContact(0, 2, kMax, threshold, kMax, kMax).ok());
    EXPECT_TRUE(moveToContact(0, 2, -kMax, threshold, kTiny, kInf).ok());
  }
  EXPECT_TRUE(device->programRunning());
}

TEST_F(MoveToContactSweepTest, MoveToContact_NoUsableThreshold_RefusedWithoutMoving) {
  // A threshold that is not a finite number gives no usable contact test: the
  // call is refused before any step, whatever the travel limit.
  for (double threshold_value : {kNaN, kInf, -kInf}) {
    SCOPED_TRACE("threshold " + describe(threshold_value));
    const std::size_t motions_before = controller->motionCommandCount();
    const std::size_t console_before = functionWrites().size();
    Number speed(50.0), threshold(threshold_value), max_distance(kNaN), retract(5.0);
    EXPECT_TRUE(device->moveToContact(0, 2, speed, threshold, max_distance, retract).ok());
    EXPECT_EQ(controller->motionCommandCount(), motions_before);
    const std::vector<std::string> writes = functionWrites();
    ASSERT_EQ(writes.size(), console_before + 1);
    EXPECT_EQ(writes.back(), "[ERROR] moveToContact: the force threshold " +
                                 std::string(std::isnan(threshold_value) ? "nan"
                                             : threshold_value > 0       ? "inf"
                                                                         : "-inf") +
                                 " N is not a finite number; stopped without commanding a step\n");
    EXPECT_TRUE(device->programRunning());
  }
  checkDriveCommands();
}

}  // namespace
