#include "sim/program/program_runner.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <sstream>
#include <stdexcept>

namespace vorel_sim {

namespace {

// The function of that name; it is in the table.
const FunctionInfo& named(const char* name) {
  return *functionByName(name);
}

}  // namespace

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
    if (push->seconds == 0.0) {
      std::snprintf(buf, sizeof buf, "push (%g, %g, %g) N until the next push", push->force[0],
                    push->force[1], push->force[2]);
    } else {
      std::snprintf(buf, sizeof buf, "push (%g, %g, %g) N for %g s", push->force[0], push->force[1],
                    push->force[2], push->seconds);
    }
    ctx_.out(prefix(statement) + buf);
    if (!ctx_.push)
      throw std::runtime_error("this host has no simulated world to push the tool in");
    ctx_.push(push->force);
    // 0 s: the force stays on until the next push, and the program goes on.
    if (push->seconds == 0.0) {
      run.completed = true;
      return;
    }
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
  const FunctionInfo& f = *c.function;
  if (!f.quiet)
    ctx_.out(prefix(statement) + formatCall(c));
  f.invoke(*ctx_.device, c.args, run.values);
  if (f.result)
    ctx_.out(prefix(statement) + f.name + " = " + f.result(run.values));
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

void ProgramRunner::print(Stage stage, const Statement& statement, StatementRun& run) {
  if (stage == Stage::Position) {
    const hx4rc_api::Frame tcp = ctx_.program->getFrame(hx4rc_api::Model::SysId::FRAME_ROBOTX_TCP,
                                                        hx4rc_api::Model::SysId::FRAME_WORLD);
    const double p[3] = {tcp.position[0], tcp.position[1], tcp.position[2]};
    run.values.assign(p, p + 3);
    ctx_.out(prefix(statement) + "print Position: TCP " + triple(p, 6) + " m");
    return;
  }
  const FunctionInfo& force = named(stageInfo(stage).force);
  const FunctionInfo& torque = named(stageInfo(stage).torque);
  std::vector<double> fv, tv;
  force.invoke(*ctx_.device, {}, fv);
  torque.invoke(*ctx_.device, {}, tv);
  run.values = fv;
  run.values.insert(run.values.end(), tv.begin(), tv.end());
  ctx_.out(prefix(statement) + "print " + stageName(stage) + ": force " + force.result(fv) +
           ", torque " + torque.result(tv));
}

}  // namespace vorel_sim
