#include "sim/scenario/guide_rows.h"

#include <algorithm>
#include <cmath>
#include <variant>

namespace vorel_sim {

namespace {

constexpr double kCycleS = 0.002;
constexpr double kAcceleration = 1.0;  // m/s^2, translational returns
constexpr double kBrake = 5.0;         // m/s^2, braking when force control ends
constexpr double kLateS = 0.25;        // missed cycles of a loaded machine
// The stopping distance's bound: braking at 5 m/s^2 from the speed of the
// last full-speed step (6.25 mm from 250 mm/s), and one cycle for the step in
// which the braking begins.
constexpr double kStopLatencyCycles = 1.0;

double translation(const CycleRecord& r) {
  return std::sqrt(r.offset[0] * r.offset[0] + r.offset[1] * r.offset[1] +
                   r.offset[2] * r.offset[2]);
}

bool zero(const CycleRecord& r) {
  for (double v : r.offset) {
    if (v != 0.0)
      return false;
  }
  return true;
}

// Largest |(p2 - p1) - (p1 - p0)| / cycle over records of [from_s, to_s]
// whose cycles each got exactly one drive command, m/s; and how many.
double largestSpeedChange(const RunData& run, double from_s, double to_s, int& judged) {
  double most = 0.0;
  judged = 0;
  const auto& r = run.records;
  for (std::size_t i = 2; i < r.size(); ++i) {
    if (r[i - 2].time_s < from_s || r[i].time_s > to_s)
      continue;
    if (r[i].drive_commands - r[i - 1].drive_commands != 1 ||
        r[i - 1].drive_commands - r[i - 2].drive_commands != 1)
      continue;
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double change =
          (r[i].offset[k] - r[i - 1].offset[k]) - (r[i - 1].offset[k] - r[i - 2].offset[k]);
      d2 += change * change;
    }
    most = std::max(most, std::sqrt(d2) / kCycleS);
    ++judged;
  }
  return most;
}

}  // namespace

double trapezoidSeconds(double distance, double speed, double acceleration) {
  if (distance >= speed * speed / acceleration)
    return distance / speed + speed / acceleration;
  return 2.0 * std::sqrt(distance / acceleration);
}

void guideRows(Summary& s, const RunData& run) {
  const StatementRun* off = nullptr;
  double speed = 0.25;  // m/s, unless the program set another limit before
  for (const auto& r : run.outcome.runs) {
    if (const auto* push = std::get_if<Push>(&r.statement.action)) {
      if (push->force[0] != 0.0 || push->force[1] != 0.0 || push->force[2] != 0.0) {
        s.info("push on the tool", push->seconds > 0.0
                                       ? fmt("(%g, %g, %g) N for %g s", push->force[0],
                                             push->force[1], push->force[2], push->seconds)
                                       : fmt("(%g, %g, %g) N until the hand lets go",
                                             push->force[0], push->force[1], push->force[2]));
      }
    }
    const auto* call = std::get_if<Call>(&r.statement.action);
    if (!call || !r.completed)
      continue;
    if (call->calls("deactivateForceControl"))
      off = &r;
    const double t =
        call->calls("setForceControlSpeedLimits") ? std::get<double>(call->args[0]) : 0.0;
    if (!off && t > 0.0 && t <= 1000.0)
      speed = t / 1000.0;
  }
  if (!off || run.records.empty()) {
    s.check("deactivateForceControl", "not called", "called after the push", false);
    return;
  }
  const CycleRecord* before = nullptr;
  const CycleRecord* earlier = nullptr;
  const CycleRecord* back = nullptr;
  for (const auto& r : run.records) {
    if (r.time_s <= off->start_s) {  // the drive's offset when the program asked
      earlier = before;
      before = &r;
    } else if (!back && zero(r)) {
      back = &r;
    }
  }
  const double distance = before ? translation(*before) : 0.0;
  s.info("offset when force control was switched off", fmt("%.1f mm", distance * 1000.0));
  const bool stays = zero(run.records.back());
  s.check("offset back at exactly zero", back ? fmt("at t=%.3f s", back->time_s) : "no",
          "yes, and stays", back && stays);
  if (!back || !before || !earlier)
    return;
  // Braking: the furthest the offset goes on along the way it moved at the
  // switch-off; the rest point is where the return starts.
  double v[3], speed_off = 0.0;
  for (int k = 0; k < 3; ++k) {
    v[k] = (before->offset[k] - earlier->offset[k]) / kCycleS;
    speed_off += v[k] * v[k];
  }
  speed_off = std::sqrt(speed_off);
  auto along = [&](const CycleRecord& to, const CycleRecord& from) {
    double d = 0.0;
    for (int k = 0; k < 3; ++k)
      d += (to.offset[k] - from.offset[k]) * (speed_off > 0.0 ? v[k] / speed_off : 0.0);
    return d;
  };
  // The braking begins with the first drive step after the ask that is
  // shorter than the one before it by half a braking step or more. A loaded machine may hand the
  // request to the force-control cycle a few cycles late (the duration row bounds that); the
  // distance row judges the braking itself, from the last full step on.
  const auto& records = run.records;
  const CycleRecord* brake_from = before;
  double brake_speed = speed_off;
  int late_steps = 0;
  for (std::size_t i = 1; i < records.size(); ++i) {
    const CycleRecord& r = records[i];
    const CycleRecord& p = records[i - 1];
    if (p.time_s < before->time_s || r.drive_commands != p.drive_commands + 1)
      continue;
    if (r.time_s > back->time_s)
      break;
    const double step = along(r, p) / kCycleS;
    if (step < brake_speed - 0.5 * kBrake * kCycleS)  // slower by half a braking step
      break;
    brake_from = &r;
    brake_speed = step;
    ++late_steps;
  }
  s.info("full-speed drive steps after deactivateForceControl was called", fmt("%d", late_steps));
  const CycleRecord* rest = before;
  double furthest = 0.0;
  for (const auto& r : records) {
    if (r.time_s < brake_from->time_s || r.time_s > back->time_s)
      continue;
    const double d = along(r, *brake_from);
    if (d > furthest) {
      furthest = d;
      rest = &r;
    }
  }
  const double bound =
      brake_speed * brake_speed / (2.0 * kBrake) + kStopLatencyCycles * kCycleS * brake_speed;
  s.check("stopping distance after deactivateForceControl",
          fmt("%.2f mm from %.0f mm/s", furthest * 1000.0, brake_speed * 1000.0),
          fmt("at most %.2f mm (5 m/s^2 braking)", bound * 1000.0), furthest <= bound);
  const double took = back->time_s - off->start_s;
  const double computed =
      speed_off / kBrake + trapezoidSeconds(translation(*rest), speed, kAcceleration);
  s.check("duration of the return", fmt("%.3f s", took),
          fmt("%.3f s (computed) to %.2f s more", computed, kLateS),
          took >= computed - 2.0 * kCycleS && took <= computed + kLateS);
  int judged = 0;
  const double braking = largestSpeedChange(run, off->start_s, rest->time_s, judged);
  s.check("largest change of the offset's speed per cycle while braking",
          fmt("%.3f mm/s (%d cycles)", braking * 1000.0, judged),
          fmt("at most %.0f mm/s", kBrake * kCycleS * 1000.0),
          braking <= kBrake * kCycleS * (1.0 + 1e-6));
  const double change = largestSpeedChange(run, rest->time_s, back->time_s, judged);
  s.check("largest change of the offset's speed per cycle during the return",
          fmt("%.3f mm/s (%d cycles)", change * 1000.0, judged),
          fmt("at most %.0f mm/s", kAcceleration * kCycleS * 1000.0),
          judged > 0 && change <= kAcceleration * kCycleS * (1.0 + 1e-6));
}

}  // namespace vorel_sim
