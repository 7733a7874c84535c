#include "sim/program/program_runner.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <sstream>
#include <stdexcept>

namespace vorel_sim_app {

namespace {

using hx4_program_api::Array;
using hx4_program_api::Number;
using Device = vorel_device::VorelFTSensor;
using Result = Device::Result;

Array<Number> arrayOf(const Vector3& v) {
  Array<Number> array(3, 1);
  array.item(0, 0) = v.x;
  array.item(1, 0) = v.y;
  array.item(2, 0) = v.z;
  return array;
}

void readArray(Array<Number>& array, double* out) {
  for (std::size_t i = 0; i < 3; ++i)
    out[i] = array.item(i, 0).d(true);
}

// The readout function of a read statement and its unit.
struct Readout {
  Result (Device::*function)(Device::Array&);
  const char* unit;
};

std::optional<Readout> readoutOf(Function f) {
  switch (f) {
    case Function::readForceRaw:
      return Readout{&Device::readForceRaw, "N"};
    case Function::readTorqueRaw:
      return Readout{&Device::readTorqueRaw, "N m"};
    case Function::readForceSensorFrame:
      return Readout{&Device::readForceSensorFrame, "N"};
    case Function::readTorqueSensorFrame:
      return Readout{&Device::readTorqueSensorFrame, "N m"};
    case Function::readForce:
      return Readout{&Device::readForce, "N"};
    case Function::readTorque:
      return Readout{&Device::readTorque, "N m"};
    case Function::readForceFiltered:
      return Readout{&Device::readForceFiltered, "N"};
    case Function::readTorqueFiltered:
      return Readout{&Device::readTorqueFiltered, "N m"};
    default:
      return std::nullopt;
  }
}

Result (Device::*vectorFunction(Function f))(Device::Array&) {
  switch (f) {
    case Function::resetForceRaw:
      return &Device::resetForceRaw;
    case Function::resetTorqueRaw:
      return &Device::resetTorqueRaw;
    case Function::resetForceSensorFrame:
      return &Device::resetForceSensorFrame;
    case Function::resetTorqueSensorFrame:
      return &Device::resetTorqueSensorFrame;
    case Function::resetForce:
      return &Device::resetForce;
    case Function::resetTorque:
      return &Device::resetTorque;
    case Function::setForceTrackValue:
      return &Device::setForceTrackValue;
    case Function::setTorqueTrackValue:
      return &Device::setTorqueTrackValue;
    default:
      return nullptr;
  }
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

}  // namespace

std::string ProgramRunner::triple(const double* v, int decimals) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "(%.*f, %.*f, %.*f)", decimals, v[0], decimals, v[1], decimals,
                v[2]);
  return buf;
}

std::string ProgramRunner::prefix(const Statement& statement) const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "[program] t=%.3f s line %d: ", ctx_.clock ? ctx_.clock() : 0.0,
                statement.line);
  return buf;
}

RunOutcome ProgramRunner::run(const Program& program) {
  RunOutcome outcome;
  for (const Statement& statement : program.statements) {
    if (ctx_.abort && ctx_.abort->load()) {
      outcome.aborted = true;
      return outcome;
    }
    StatementRun run;
    run.statement = statement;
    run.start_s = ctx_.clock ? ctx_.clock() : 0.0;
    try {
      execute(statement, run);
    } catch (const std::exception& e) {
      run.end_s = ctx_.clock ? ctx_.clock() : 0.0;
      outcome.runs.push_back(run);
      std::ostringstream msg;
      msg << "line " << statement.line << ": " << statement.text << ": " << e.what();
      outcome.error = msg.str();
      return outcome;
    }
    run.end_s = ctx_.clock ? ctx_.clock() : 0.0;
    outcome.runs.push_back(run);
    if (!run.completed) {
      outcome.aborted = true;
      return outcome;
    }
  }
  outcome.aborted = ctx_.abort && ctx_.abort->load();
  outcome.completed = !outcome.aborted;
  return outcome;
}

void ProgramRunner::execute(const Statement& statement, StatementRun& run) {
  if (const auto* wait = std::get_if<Wait>(&statement.action)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "wait %g s", wait->seconds);
    ctx_.out(prefix(statement) + buf);
    run.completed = ctx_.wait ? ctx_.wait(wait->seconds) : true;
    return;
  }
  if (const auto* p = std::get_if<Print>(&statement.action)) {
    print(p->stage, statement, run);
    run.completed = true;
    return;
  }
  if (const auto* move = std::get_if<MoveTo>(&statement.action)) {
    moveTo(*move, statement);
    run.completed = true;
    return;
  }
  if (const auto* push = std::get_if<Push>(&statement.action)) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "push (%g, %g, %g) N for %g s", push->force[0], push->force[1],
                  push->force[2], push->seconds);
    ctx_.out(prefix(statement) + buf);
    if (!ctx_.push)
      throw std::runtime_error("this host has no simulated world to push the tool in");
    ctx_.push(push->force);
    run.completed = ctx_.wait ? ctx_.wait(push->seconds) : true;
    const double none[3] = {0.0, 0.0, 0.0};
    ctx_.push(none);
    return;
  }
  if (std::holds_alternative<HostDeactivate>(statement.action)) {
    ctx_.out(prefix(statement) + "hostDeactivate: the host deactivates the device");
    if (!ctx_.host_deactivate)
      throw std::runtime_error("this host cannot deactivate the device");
    ctx_.host_deactivate();
    run.completed = true;
    return;
  }
  call(std::get<Call>(statement.action), statement, run);
  run.completed = true;
}

void ProgramRunner::call(const Call& c, const Statement& statement, StatementRun& run) {
  Device& d = *ctx_.device;
  if (const auto readout = readoutOf(c.function)) {
    Array<Number> array(3, 1);
    (d.*(readout->function))(array);
    double v[3];
    readArray(array, v);
    run.values.assign(v, v + 3);
    ctx_.out(prefix(statement) + functionInfo(c.function).name + " = " + triple(v, 3) + " " +
             readout->unit);
    return;
  }
  if (c.function == Function::readSensorHealth) {
    readHealth(statement, run);
    return;
  }
  if (c.function == Function::identifyToolLoad) {
    identify(statement, run);
    return;
  }
  ctx_.out(prefix(statement) + formatCall(c));
  if (auto f = vectorFunction(c.function)) {
    Array<Number> array = arrayOf(std::get<Vector3>(c.args[0]));
    (d.*f)(array);
    return;
  }
  const auto& a = c.args;
  switch (c.function) {
    case Function::tareSensor:
      d.tareSensor();
      return;
    case Function::moveToContact: {
      Number speed(num(a[2])), threshold(num(a[3])), max_distance(num(a[4])), retract(num(a[5]));
      d.moveToContact(integer(a[0]), integer(a[1]), speed, threshold, max_distance, retract);
      return;
    }
    case Function::activateForceControl:
      d.activateForceControl(boolean(a[0]), boolean(a[1]));
      return;
    case Function::deactivateForceControl:
      d.deactivateForceControl();
      return;
    case Function::setEnabledAxes:
      d.setEnabledAxes(boolean(a[0]), boolean(a[1]), boolean(a[2]), boolean(a[3]), boolean(a[4]),
                       boolean(a[5]));
      return;
    case Function::setForceControlGains: {
      Number t(num(a[0])), r(num(a[1])), s(num(a[2]));
      d.setForceControlGains(t, r, s);
      return;
    }
    case Function::setEnabledSystemFilters:
      d.setEnabledSystemFilters(boolean(a[0]));
      return;
    case Function::setSystemFilterParams: {
      Number cutoff(num(a[0])), rising(num(a[1])), falling(num(a[2]));
      d.setSystemFilterParams(cutoff, rising, falling);
      return;
    }
    case Function::resetFilters:
      d.resetFilters();
      return;
    case Function::addFilter:
      d.addFilter(std::get<std::string>(a[0]), integer(a[1]), num(a[2]), num(a[3]), num(a[4]),
                  num(a[5]), num(a[6]));
      return;
    case Function::removeFilter:
      d.removeFilter(std::get<std::string>(a[0]));
      return;
    case Function::captureLoadSample:
      d.captureLoadSample();
      return;
    case Function::clearLoadSamples:
      d.clearLoadSamples();
      return;
    case Function::writeBlackBox:
      d.writeBlackBox();
      return;
    case Function::setForceControlLimits: {
      Number translation_mm(num(a[0])), rotation_deg(num(a[1]));
      d.setForceControlLimits(translation_mm, rotation_deg);
      return;
    }
    case Function::setForceControlSpeedLimits: {
      Number translation(num(a[0])), rotation(num(a[1]));
      d.setForceControlSpeedLimits(translation, rotation);
      return;
    }
    default:
      throw std::logic_error("no call for this function");
  }
}

void ProgramRunner::identify(const Statement& statement, StatementRun& run) {
  // NaN where the device wrote nothing (a refused identification).
  Array<Number> result(4, 1);
  for (std::size_t i = 0; i < 4; ++i)
    result.item(i, 0) = std::nan("");
  ctx_.out(prefix(statement) + "identifyToolLoad()");
  ctx_.device->identifyToolLoad(result);
  double r[4];
  for (std::size_t i = 0; i < 4; ++i)
    r[i] = result.item(i, 0).d(true);
  run.values.assign(r, r + 4);
  char buf[160];
  std::snprintf(buf, sizeof buf,
                "identifyToolLoad = mass %.4f kg, centre of gravity (%.5f, %.5f, %.5f) m", r[0],
                r[1], r[2], r[3]);
  ctx_.out(prefix(statement) + buf);
}

void ProgramRunner::moveTo(const MoveTo& move, const Statement& statement) {
  const double* p = move.pose;
  char buf[192];
  std::snprintf(buf, sizeof buf, "moveTo (%g, %g, %g) m, roll pitch yaw (%g, %g, %g) rad", p[0],
                p[1], p[2], p[3], p[4], p[5]);
  ctx_.out(prefix(statement) + buf);
  if (!ctx_.program)
    throw std::runtime_error("this host has no controller to move the robot");
  hx4rc_api::Motion::Target target;
  target.frame = hx4rc_api::Frame(hx4rc_api::Rotation::RPY(p[3], p[4], p[5]),
                                  hx4rc_api::Vector(p[0], p[1], p[2]));
  target.frame_id = static_cast<std::int32_t>(hx4rc_api::Model::SysId::FRAME_WORLD);
  if (ctx_.program->move(target, hx4rc_api::Motion::Params()) != 0)
    throw std::runtime_error("the controller refused the target");
  // Returns once the target is reached (or the clock stops).
  ctx_.program->sync(true);
}

void ProgramRunner::readHealth(const Statement& statement, StatementRun& run) {
  // Rows as the device fills them; NaN where it wrote nothing (a refused
  // read leaves the array as it was).
  Array<Number> health(6, 1);
  for (std::size_t i = 0; i < 6; ++i)
    health.item(i, 0) = NAN;
  ctx_.device->readSensorHealth(health);
  double h[6];
  for (std::size_t i = 0; i < 6; ++i)
    h[i] = health.item(i, 0).d(true);
  run.values.assign(h, h + 6);
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "readSensorHealth = age %.3f s, %.0f usable samples/s, %.0f CRC errors, %.0f "
                "lost-sync events, status 0x%04x, supervisor state %.0f",
                h[0], h[1], h[2], h[3], std::isfinite(h[4]) ? static_cast<unsigned>(h[4]) : 0u,
                h[5]);
  ctx_.out(prefix(statement) + buf);
}

void ProgramRunner::print(Stage stage, const Statement& statement, StatementRun& run) {
  Device& d = *ctx_.device;
  if (stage == Stage::Position) {
    const hx4rc_api::Frame tcp = ctx_.program->getFrame(hx4rc_api::Model::SysId::FRAME_ROBOTX_TCP,
                                                        hx4rc_api::Model::SysId::FRAME_WORLD);
    const double p[3] = {tcp.position[0], tcp.position[1], tcp.position[2]};
    run.values.assign(p, p + 3);
    ctx_.out(prefix(statement) + "print Position: TCP " + triple(p, 6) + " m");
    return;
  }
  Result (Device::*force)(Device::Array&) = nullptr;
  Result (Device::*torque)(Device::Array&) = nullptr;
  switch (stage) {
    case Stage::Raw:
      force = &Device::readForceRaw;
      torque = &Device::readTorqueRaw;
      break;
    case Stage::SensorFrame:
      force = &Device::readForceSensorFrame;
      torque = &Device::readTorqueSensorFrame;
      break;
    case Stage::Tool:
      force = &Device::readForce;
      torque = &Device::readTorque;
      break;
    case Stage::Filtered:
      force = &Device::readForceFiltered;
      torque = &Device::readTorqueFiltered;
      break;
    case Stage::Position:
      break;
  }
  Array<Number> f(3, 1), t(3, 1);
  (d.*force)(f);
  (d.*torque)(t);
  double fv[3], tv[3];
  readArray(f, fv);
  readArray(t, tv);
  run.values.assign(fv, fv + 3);
  run.values.insert(run.values.end(), tv, tv + 3);
  ctx_.out(prefix(statement) + "print " + stageName(stage) + ": force " + triple(fv, 3) +
           " N, torque " + triple(tv, 3) + " N m");
}

}  // namespace vorel_sim_app
