#include "sim/program/functions.h"

#include <cmath>
#include <cstdio>

#include "device/vorel_ft_sensor.h"

namespace vorel_sim {

namespace {

using hx4_program_api::Array;
using hx4_program_api::Number;
using Device = vorel_device::VorelFTSensor;
using Args = std::vector<Value>;
using Values = std::vector<double>;
using ArrayFunction = Device::Result (Device::*)(Device::Array&);
using A = ArgKind;

// An array of `rows` handed to `function` (NaN first when `nan_first`, so
// that rows the device leaves alone read NaN); its column 0 into `values`.
template <ArrayFunction function, std::size_t rows, bool nan_first>
void read(Device& device, const Args&, Values& values) {
  Array<Number> array(rows, 1);
  for (std::size_t i = 0; nan_first && i < rows; ++i)
    array.item(i, 0) = std::nan("");
  (device.*function)(array);
  values.resize(rows);
  for (std::size_t i = 0; i < rows; ++i)
    values[i] = array.item(i, 0).d(true);
}

// The Vector3 argument as an Array<Number> of 3 rows, handed to `function`.
template <ArrayFunction function>
void write(Device& device, const Args& args, Values&) {
  const Vector3& v = std::get<Vector3>(args[0]);
  Array<Number> array(3, 1);
  array.item(0, 0) = v.x;
  array.item(1, 0) = v.y;
  array.item(2, 0) = v.z;
  (device.*function)(array);
}

double num(const Value& v) {
  return std::get<double>(v);
}
int integer(const Value& v) {
  return std::get<int>(v);
}
bool boolean(const Value& v) {
  return std::get<bool>(v);
}

std::string force(const Values& v) {
  return triple(v.data(), 3) + " N";
}
std::string torque(const Values& v) {
  return triple(v.data(), 3) + " N m";
}

std::string health(const Values& h) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "age %.3f s, %.0f usable samples/s, %.0f CRC errors, %.0f lost-sync events, "
                "status 0x%04x, supervisor state %.0f, force-limit flags %.0f",
                h[0], h[1], h[2], h[3], std::isfinite(h[4]) ? static_cast<unsigned>(h[4]) : 0u,
                h[5], h[6]);
  return buf;
}

std::string toolLoad(const Values& r) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "mass %.4f kg, centre of gravity (%.5f, %.5f, %.5f) m", r[0], r[1],
                r[2], r[3]);
  return buf;
}

#define READ(name, describe, help) \
  { #name, {}, #name, help, read < &Device::name, 3, false>, describe, true }
#define WRITE(name, param, example, help) \
  { #name, {{A::Vector3, param } }, example, help, write < &Device::name> }

const std::vector<FunctionInfo> kFunctions = {
    READ(readForceRaw, force, "prints the sensor's force (bias removed)"),
    READ(readTorqueRaw, torque, "prints the sensor's torque"),
    READ(readForceSensorFrame, force, "force without the tool's weight, sensor axes"),
    READ(readTorqueSensorFrame, torque, "torque without the tool's weight, sensor axes"),
    READ(readForce, force, "force in the TCP frame"),
    READ(readTorque, torque, "torque in the TCP frame"),
    READ(readForceFiltered, force, "TCP force after the filter chain"),
    READ(readTorqueFiltered, torque, "TCP torque after the filter chain"),
    WRITE(resetForceRaw, "force", "resetForceRaw 0 0 0", "the raw force reads the values"),
    WRITE(resetTorqueRaw, "torque", "resetTorqueRaw 0 0 0", "the raw torque reads the values"),
    WRITE(resetForceSensorFrame, "force", "resetForceSensorFrame 0 0 0",
          "the sensor-frame force reads the values"),
    WRITE(resetTorqueSensorFrame, "torque", "resetTorqueSensorFrame 0 0 0",
          "the sensor-frame torque reads the values"),
    {"tareSensor",
     {},
     "tareSensor",
     "TCP force and torque read zero from here on",
     [](Device& d, const Args&, Values&) { d.tareSensor(); }},
    WRITE(resetForce, "force", "resetForce 0 0 -10", "the TCP force reads the values"),
    WRITE(resetTorque, "torque", "resetTorque 0 0 0", "the TCP torque reads the values"),
    WRITE(setForceTrackValue, "force", "setForceTrackValue 0 0 -10", "force-control target, N"),
    WRITE(setTorqueTrackValue, "torque", "setTorqueTrackValue 0 0 0", "torque target, N m"),
    {"moveToContact",
     {{A::Integer, "referenceFrame"},
      {A::Integer, "axis"},
      {A::Number, "speed"},
      {A::Number, "forceThreshold"},
      {A::Number, "maxDistance"},
      {A::Number, "retractDistance"}},
     "moveToContact 0 2 -20 5 100 10",
     "frame, axis, speed mm/s, threshold N, travel mm, retract mm",
     [](Device& d, const Args& a, Values&) {
       Number speed(num(a[2])), threshold(num(a[3])), max_distance(num(a[4])), retract(num(a[5]));
       d.moveToContact(integer(a[0]), integer(a[1]), speed, threshold, max_distance, retract);
     }},
    {"activateForceControl",
     {{A::Boolean, "translation"}, {A::Boolean, "rotation"}},
     "activateForceControl true false",
     "force control on: translation, rotation",
     [](Device& d, const Args& a, Values&) {
       d.activateForceControl(boolean(a[0]), boolean(a[1]));
     }},
    {"deactivateForceControl",
     {},
     "deactivateForceControl",
     "force control off; the offset returns to zero",
     [](Device& d, const Args&, Values&) { d.deactivateForceControl(); }},
    {"setEnabledAxes",
     {{A::Boolean, "fx"},
      {A::Boolean, "fy"},
      {A::Boolean, "fz"},
      {A::Boolean, "tx"},
      {A::Boolean, "ty"},
      {A::Boolean, "tz"}},
     "setEnabledAxes false false true false false false",
     "the force-controlled axes",
     [](Device& d, const Args& a, Values&) {
       d.setEnabledAxes(boolean(a[0]), boolean(a[1]), boolean(a[2]), boolean(a[3]), boolean(a[4]),
                        boolean(a[5]));
     }},
    {"setForceControlGains",
     {{A::Number, "translation_gain"},
      {A::Number, "rotation_gain"},
      {A::Number, "track_smoothing"}},
     "setForceControlGains 5 5 0.01",
     "translation and rotation gains, target smoothing",
     [](Device& d, const Args& a, Values&) {
       Number t(num(a[0])), r(num(a[1])), s(num(a[2]));
       d.setForceControlGains(t, r, s);
     }},
    {"setEnabledSystemFilters",
     {{A::Boolean, "enabled"}},
     "setEnabledSystemFilters false",
     "the system filter on or off",
     [](Device& d, const Args& a, Values&) { d.setEnabledSystemFilters(boolean(a[0])); }},
    {"setSystemFilterParams",
     {{A::Number, "cutoff_frequency"}, {A::Number, "rising_rate"}, {A::Number, "falling_rate"}},
     "setSystemFilterParams 50 50 -50",
     "system filter: cut-off Hz, rising and falling rate per s",
     [](Device& d, const Args& a, Values&) {
       Number cutoff(num(a[0])), rising(num(a[1])), falling(num(a[2]));
       d.setSystemFilterParams(cutoff, rising, falling);
     }},
    {"resetFilters",
     {},
     "resetFilters",
     "clears the system filter's history",
     [](Device& d, const Args&, Values&) { d.resetFilters(); }},
    {"addFilter",
     {{A::Name, "name"},
      {A::FilterType, "type"},
      {A::Number, "reject_frequency"},
      {A::Number, "bandwidth"},
      {A::Number, "cutoff_frequency"},
      {A::Number, "rising_rate"},
      {A::Number, "falling_rate"}},
     "addFilter smooth lowpass 0 0 10 0 0",
     "a user filter: name, type and its parameters",
     [](Device& d, const Args& a, Values&) {
       d.addFilter(std::get<std::string>(a[0]), integer(a[1]), num(a[2]), num(a[3]), num(a[4]),
                   num(a[5]), num(a[6]));
     }},
    {"removeFilter",
     {{A::Name, "name"}},
     "removeFilter smooth",
     "removes a user filter (all: every one)",
     [](Device& d, const Args& a, Values&) { d.removeFilter(std::get<std::string>(a[0])); }},
    {"readSensorHealth",
     {},
     "readSensorHealth",
     "prints the sensor link's health and the supervisor state",
     read<&Device::readSensorHealth, 7, true>,
     health,
     true},
    {"setForceControlLimits",
     {{A::Number, "maxTranslation_mm"}, {A::Number, "maxRotation_deg"}},
     "setForceControlLimits 20 5",
     "largest offset: translation mm, rotation deg (0: none)",
     [](Device& d, const Args& a, Values&) {
       Number translation_mm(num(a[0])), rotation_deg(num(a[1]));
       d.setForceControlLimits(translation_mm, rotation_deg);
     }},
    {"captureLoadSample",
     {},
     "captureLoadSample",
     "keeps a load sample of the standing robot",
     [](Device& d, const Args&, Values&) { d.captureLoadSample(); }},
    {"identifyToolLoad",
     {},
     "identifyToolLoad",
     "fits the tool load and bias to the samples and applies them",
     read<&Device::identifyToolLoad, 4, true>,
     toolLoad},
    {"setForceControlSpeedLimits",
     {{A::Number, "translation_mm_per_s"}, {A::Number, "rotation_deg_per_s"}},
     "setForceControlSpeedLimits 250 45",
     "offset speed limits: mm/s, deg/s",
     [](Device& d, const Args& a, Values&) {
       Number translation(num(a[0])), rotation(num(a[1]));
       d.setForceControlSpeedLimits(translation, rotation);
     }},
    {"clearLoadSamples",
     {},
     "clearLoadSamples",
     "forgets the captured load samples",
     [](Device& d, const Args&, Values&) { d.clearLoadSamples(); }},
    {"writeBlackBox",
     {},
     "writeBlackBox",
     "asks for a black-box file now",
     [](Device& d, const Args&, Values&) { d.writeBlackBox(); }},
    {"setForceLimits",
     {{A::Number, "force_N"}, {A::Number, "torque_Nm"}},
     "setForceLimits 150 15",
     "largest force N and torque N m force control presses with",
     [](Device& d, const Args& a, Values&) {
       Number force(num(a[0])), torque(num(a[1]));
       d.setForceLimits(force, torque);
     }},
    {"setForceControlDeadband",
     {{A::Number, "force_N"}, {A::Number, "torque_Nm"}},
     "setForceControlDeadband 6 0.5",
     "force-control errors within N, N m move nothing",
     [](Device& d, const Args& a, Values&) {
       Number force(num(a[0])), torque(num(a[1]));
       d.setForceControlDeadband(force, torque);
     }},
    {"setForceControlCompliance",
     {{A::Number, "stiffness_N_per_m"},
      {A::Number, "mass_kg"},
      {A::Number, "stiffness_Nm_per_rad"},
      {A::Number, "inertia_kg_m2"}},
     "setForceControlCompliance 500 0 0 0",
     "virtual stiffness and mass: N/m, kg, N m/rad, kg m^2",
     [](Device& d, const Args& a, Values&) {
       Number k(num(a[0])), m(num(a[1])), kr(num(a[2])), j(num(a[3]));
       d.setForceControlCompliance(k, m, kr, j);
     }},
    {"setForceControlFrame",
     {{A::Integer, "frame"}},
     "setForceControlFrame 0",
     "the law's frame: 0 TCP, 1 robot base",
     [](Device& d, const Args& a, Values&) { d.setForceControlFrame(integer(a[0])); }},
};

#undef READ
#undef WRITE

}  // namespace

std::string triple(const double* v, int decimals) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "(%.*f, %.*f, %.*f)", decimals, v[0], decimals, v[1], decimals,
                v[2]);
  return buf;
}

const std::vector<FunctionInfo>& functionTable() {
  return kFunctions;
}

const FunctionInfo* functionByName(const std::string& name) {
  for (const auto& info : kFunctions) {
    if (name == info.name)
      return &info;
  }
  return nullptr;
}

const std::vector<StatementInfo>& statementTable() {
  static const std::vector<StatementInfo> statements = {
      {"wait", "wait 1.5", "waits 1.5 s of controller time"},
      {"print", "print Filtered", "one readout line: Raw, SensorFrame, Tool, Filtered, Position"},
      {"moveTo", "moveTo 0.4 0 0.3 3.14159 0 0", "the TCP to x y z (m), roll pitch yaw (rad)"},
      {"push", "push 60 0 0 1",
       "an external force on the tool (N, world axes) for 1 s (0 s: until the next push)"},
      {"hostDeactivate", "hostDeactivate", "the host deactivates the device"},
  };
  return statements;
}

std::string functionListing() {
  std::string out;
  auto line = [&out](const char* example, const char* help) {
    char buf[192];
    std::snprintf(buf, sizeof buf, "%-52s# %s\n", example, help);
    out += buf;
  };
  for (const auto& info : kFunctions)
    line(info.example, info.help);
  for (const auto& statement : statementTable())
    line(statement.example, statement.help);
  return out;
}

}  // namespace vorel_sim
