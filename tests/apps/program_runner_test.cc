// The program runner against a device whose robot-program functions record
// their calls: each statement reaches the function of its name with its
// literal values, readouts print what the device wrote into the array, and a
// termination or a failing call stops the run at its line.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <sstream>
#include <stdexcept>

#include "device/vorel_ft_sensor.h"
#include "sim/program/program_runner.h"
#include "tests/support/installed_controller.h"

namespace {

using vorel_sim_app::parseProgram;
using vorel_sim_app::Program;
using vorel_sim_app::ProgramRunner;
using vorel_sim_app::RunOutcome;
using Result = vorel_device::VorelFTSensor::Result;
using Array = vorel_device::VorelFTSensor::Array;
using Number = vorel_device::VorelFTSensor::Number;

// Every robot-program function records "name(args)"; readouts write
// (1.5, -2.25, 3) for forces and (0.125, 0, -0.5) for torques.
class RecordingDevice : public vorel_device::VorelFTSensor {
 public:
  using VorelFTSensor::VorelFTSensor;

  std::vector<std::string> calls;
  bool fail_reset_filters = false;

  Result readForceRaw(Array& a) override { return force("readForceRaw", a); }
  Result readTorqueRaw(Array& a) override { return torque("readTorqueRaw", a); }
  Result readForceSensorFrame(Array& a) override { return force("readForceSensorFrame", a); }
  Result readTorqueSensorFrame(Array& a) override { return torque("readTorqueSensorFrame", a); }
  Result readForce(Array& a) override { return force("readForce", a); }
  Result readTorque(Array& a) override { return torque("readTorque", a); }
  Result readForceFiltered(Array& a) override { return force("readForceFiltered", a); }
  Result readTorqueFiltered(Array& a) override { return torque("readTorqueFiltered", a); }
  Result resetForceRaw(Array& a) override { return vec("resetForceRaw", a); }
  Result resetTorqueRaw(Array& a) override { return vec("resetTorqueRaw", a); }
  Result resetForceSensorFrame(Array& a) override { return vec("resetForceSensorFrame", a); }
  Result resetTorqueSensorFrame(Array& a) override { return vec("resetTorqueSensorFrame", a); }
  Result tareSensor() override { return rec("tareSensor()"); }
  Result resetForce(Array& a) override { return vec("resetForce", a); }
  Result resetTorque(Array& a) override { return vec("resetTorque", a); }
  Result setForceTrackValue(Array& a) override { return vec("setForceTrackValue", a); }
  Result setTorqueTrackValue(Array& a) override { return vec("setTorqueTrackValue", a); }
  Result moveToContact(int frame, int axis, Number& speed, Number& threshold, Number& distance,
                       Number& retract) override {
    std::ostringstream s;
    s << "moveToContact(" << frame << "," << axis << "," << speed.d(true) << ","
      << threshold.d(true) << "," << distance.d(true) << "," << retract.d(true) << ")";
    return rec(s.str());
  }
  Result activateForceControl(bool t, bool r) override {
    return rec(std::string("activateForceControl(") + (t ? "1" : "0") + "," + (r ? "1" : "0") +
               ")");
  }
  Result deactivateForceControl() override { return rec("deactivateForceControl()"); }
  Result setEnabledAxes(bool a, bool b, bool c, bool d, bool e, bool f) override {
    std::ostringstream s;
    s << "setEnabledAxes(" << a << b << c << d << e << f << ")";
    return rec(s.str());
  }
  Result setForceControlGains(Number& t, Number& r, Number& s) override {
    return nums("setForceControlGains", t, r, s);
  }
  Result setEnabledSystemFilters(bool on) override {
    return rec(std::string("setEnabledSystemFilters(") + (on ? "1" : "0") + ")");
  }
  Result setSystemFilterParams(Number& c, Number& r, Number& f) override {
    return nums("setSystemFilterParams", c, r, f);
  }
  Result resetFilters() override {
    if (fail_reset_filters)
      throw std::runtime_error("segment gone");
    return rec("resetFilters()");
  }
  Result addFilter(std::string name, int type, double p1, double p2, double p3, double p4,
                   double p5) override {
    std::ostringstream s;
    s << "addFilter(" << name << "," << type << "," << p1 << "," << p2 << "," << p3 << "," << p4
      << "," << p5 << ")";
    return rec(s.str());
  }
  Result removeFilter(std::string name) override { return rec("removeFilter(" + name + ")"); }
  Result readSensorHealth(Array& a) override {
    const double rows[6] = {0.004, 498, 2, 3, 4, 1};
    for (std::size_t i = 0; i < 6; ++i)
      a.item(i, 0) = rows[i];
    return rec("readSensorHealth()");
  }
  Result setForceControlLimits(Number& t, Number& r) override {
    Number none(0.0);
    return nums("setForceControlLimits", t, r, none);
  }

 private:
  Result rec(const std::string& call) {
    calls.push_back(call);
    return Result::Success();
  }
  Result fill(const std::string& name, Array& a, double x, double y, double z) {
    a.item(0, 0) = x;
    a.item(1, 0) = y;
    a.item(2, 0) = z;
    return rec(name + "()");
  }
  Result force(const std::string& name, Array& a) { return fill(name, a, 1.5, -2.25, 3.0); }
  Result torque(const std::string& name, Array& a) { return fill(name, a, 0.125, 0.0, -0.5); }
  Result vec(const std::string& name, Array& a) {
    std::ostringstream s;
    s << name << "(" << a.item(0, 0).d(true) << "," << a.item(1, 0).d(true) << ","
      << a.item(2, 0).d(true) << ")";
    return rec(s.str());
  }
  Result nums(const std::string& name, Number& a, Number& b, Number& c) {
    std::ostringstream s;
    s << name << "(" << a.d(true) << "," << b.d(true) << "," << c.d(true) << ")";
    return rec(s.str());
  }
};

class ProgramRunnerTest : public ::testing::Test {
 protected:
  ProgramRunnerTest() {
    boost::property_tree::ptree config;
    config.put("<xmlattr>.class", "vorel_device::VorelFTSensor");
    device = boost::make_shared<RecordingDevice>(controller.program(), config);
    controller->setFrame(
        hx4rc_api::Model::SysId::FRAME_ROBOTX_TCP, hx4rc_api::Model::SysId::FRAME_WORLD,
        hx4rc_api::Frame(hx4rc_api::Rotation(), hx4rc_api::Vector(0.4, -0.1, 0.25)));
  }

  RunOutcome run(const std::string& text) {
    const auto parsed = parseProgram(text);
    EXPECT_TRUE(parsed.program) << (parsed.error ? parsed.error->message : "");
    ProgramRunner::Context ctx;
    ctx.device = device.get();
    ctx.program = controller.program().get();
    ctx.clock = [this] { return time; };
    ctx.wait = [this](double seconds) {
      waits.push_back(seconds);
      time += seconds;
      return !stop_in_wait;
    };
    ctx.abort = &abort;
    ctx.out = [this](const std::string& line) { lines.push_back(line); };
    ctx.host_deactivate = host_deactivate;
    return ProgramRunner(ctx).run(*parsed.program);
  }

  vorel_test::InstalledController controller;
  boost::shared_ptr<RecordingDevice> device;
  double time = 1.0;
  std::vector<double> waits;
  std::vector<std::string> lines;
  std::atomic<bool> abort{false};
  bool stop_in_wait = false;
  std::function<void()> host_deactivate;
};

TEST_F(ProgramRunnerTest, EveryFunction_IsCalledWithItsLiteralArguments) {
  const RunOutcome outcome =
      run("resetForceRaw 1 2 3\nresetTorqueRaw 0.5 0 0\nresetForceSensorFrame 0 0 -1\n"
          "resetTorqueSensorFrame 0 0 0\ntareSensor\nresetForce 0 0 -10\nresetTorque 0 0 1\n"
          "setForceTrackValue 0 0 -10\nsetTorqueTrackValue 0.1 0 0\n"
          "moveToContact 1 2 -20 5 100 10\nactivateForceControl true false\n"
          "deactivateForceControl\nsetEnabledAxes false false true false false true\n"
          "setForceControlGains 4 3 0.02\nsetEnabledSystemFilters true\n"
          "setSystemFilterParams 40 30 -30\nresetFilters\naddFilter smooth lowpass 0 0 10 0 0\n"
          "removeFilter smooth\nsetForceControlLimits 20 5\n");
  EXPECT_TRUE(outcome.completed);
  EXPECT_FALSE(outcome.error);
  const std::vector<std::string> expected = {
      "resetForceRaw(1,2,3)",
      "resetTorqueRaw(0.5,0,0)",
      "resetForceSensorFrame(0,0,-1)",
      "resetTorqueSensorFrame(0,0,0)",
      "tareSensor()",
      "resetForce(0,0,-10)",
      "resetTorque(0,0,1)",
      "setForceTrackValue(0,0,-10)",
      "setTorqueTrackValue(0.1,0,0)",
      "moveToContact(1,2,-20,5,100,10)",
      "activateForceControl(1,0)",
      "deactivateForceControl()",
      "setEnabledAxes(001001)",
      "setForceControlGains(4,3,0.02)",
      "setEnabledSystemFilters(1)",
      "setSystemFilterParams(40,30,-30)",
      "resetFilters()",
      "addFilter(smooth,1,0,0,10,0,0)",
      "removeFilter(smooth)",
      "setForceControlLimits(20,5,0)",
  };
  EXPECT_EQ(device->calls, expected);
  ASSERT_EQ(lines.size(), expected.size());
  EXPECT_EQ(lines[9], "[program] t=1.000 s line 10: moveToContact(1, 2, -20, 5, 100, 10)");
}

TEST_F(ProgramRunnerTest, Readouts_PrintWhatTheDeviceWrote) {
  const RunOutcome outcome =
      run("readForceRaw\nreadTorqueFiltered\nprint Tool\nprint Raw\nprint Position\n"
          "readSensorHealth\n");
  EXPECT_TRUE(outcome.completed);
  EXPECT_EQ(device->calls,
            (std::vector<std::string>{"readForceRaw()", "readTorqueFiltered()", "readForce()",
                                      "readTorque()", "readForceRaw()", "readTorqueRaw()",
                                      "readSensorHealth()"}));
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "[program] t=1.000 s line 1: readForceRaw = (1.500, -2.250, 3.000) N",
                "[program] t=1.000 s line 2: readTorqueFiltered = (0.125, 0.000, -0.500) N m",
                "[program] t=1.000 s line 3: print Tool: force (1.500, -2.250, 3.000) N, "
                "torque (0.125, 0.000, -0.500) N m",
                "[program] t=1.000 s line 4: print Raw: force (1.500, -2.250, 3.000) N, "
                "torque (0.125, 0.000, -0.500) N m",
                "[program] t=1.000 s line 5: print Position: TCP (0.400000, -0.100000, "
                "0.250000) m",
                "[program] t=1.000 s line 6: readSensorHealth = age 0.004 s, 498 usable "
                "samples/s, 2 CRC errors, 3 lost-sync events, status 0x0004, supervisor "
                "state 1"}));
  EXPECT_EQ(outcome.runs[0].values, (std::vector<double>{1.5, -2.25, 3.0}));
  EXPECT_EQ(outcome.runs[2].values.size(), 6u);
  EXPECT_EQ(outcome.runs[5].values, (std::vector<double>{0.004, 498, 2, 3, 4, 1}));
}

TEST_F(ProgramRunnerTest, HostDeactivate_CallsTheHost_OrStopsTheRunWithoutOne) {
  int deactivations = 0;
  host_deactivate = [&deactivations] { ++deactivations; };
  RunOutcome outcome = run("activateForceControl true false\nhostDeactivate\ntareSensor\n");
  EXPECT_TRUE(outcome.completed);
  EXPECT_EQ(deactivations, 1);
  EXPECT_EQ(lines[1],
            "[program] t=1.000 s line 2: hostDeactivate: the host deactivates the device");

  host_deactivate = nullptr;
  outcome = run("hostDeactivate\ntareSensor\n");
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(*outcome.error, "line 1: hostDeactivate: this host cannot deactivate the device");
}

TEST_F(ProgramRunnerTest, Wait_TakesControllerTime_AndStampsLaterLines) {
  const RunOutcome outcome = run("wait 1.5\ntareSensor\nwait 0\n");
  EXPECT_TRUE(outcome.completed);
  EXPECT_EQ(waits, (std::vector<double>{1.5, 0.0}));
  EXPECT_EQ(lines[0], "[program] t=1.000 s line 1: wait 1.5 s");
  EXPECT_EQ(lines[1], "[program] t=2.500 s line 2: tareSensor()");
  EXPECT_EQ(outcome.runs[0].start_s, 1.0);
  EXPECT_EQ(outcome.runs[0].end_s, 2.5);
}

TEST_F(ProgramRunnerTest, Termination_DuringAWait_StopsAtThatLine) {
  stop_in_wait = true;
  const RunOutcome outcome = run("tareSensor\nwait 3\nactivateForceControl true false\n");
  EXPECT_TRUE(outcome.aborted);
  EXPECT_FALSE(outcome.completed);
  ASSERT_EQ(outcome.runs.size(), 2u);
  EXPECT_FALSE(outcome.runs[1].completed);
  EXPECT_EQ(device->calls, (std::vector<std::string>{"tareSensor()"}));
}

TEST_F(ProgramRunnerTest, TerminatedBeforeTheStart_RunsNothing) {
  abort = true;
  const RunOutcome outcome = run("tareSensor\n");
  EXPECT_TRUE(outcome.aborted);
  EXPECT_TRUE(outcome.runs.empty());
  EXPECT_TRUE(device->calls.empty());
}

TEST_F(ProgramRunnerTest, FailingCall_StopsTheRun_NamingItsLine) {
  device->fail_reset_filters = true;
  const RunOutcome outcome = run("tareSensor\n\nresetFilters   # clears\ntareSensor\n");
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(*outcome.error, "line 3: resetFilters: segment gone");
  EXPECT_FALSE(outcome.completed);
  EXPECT_EQ(device->calls, (std::vector<std::string>{"tareSensor()"}));
}

}  // namespace
