#include "sim/scenario/law_rows.h"

#include <algorithm>
#include <cmath>
#include <variant>

namespace vorel_sim {

namespace {

constexpr double kMmPerM = 1000.0;
constexpr double kStandStillM = 0.001;
constexpr double kFollowM = 0.100;
constexpr double kSpringStiffness = 500.0;  // N/m, as programs/spring.prog sets it
constexpr double kDeflectionTolerance = 0.10;
constexpr double kBackM = 0.001;
constexpr double kOvershoot = 0.10;
constexpr double kForceBandN = 0.5;
constexpr double kSlideM = 0.001;

// The TCP position (world, m) of the last record at or before `t`.
const CycleRecord* at(const RunData& run, double t) {
  const CycleRecord* found = nullptr;
  for (const auto& r : run.records) {
    if (r.time_s > t)
      break;
    found = &r;
  }
  return found;
}

double distance(const CycleRecord& a, const CycleRecord& b) {
  double d = 0.0;
  for (int k = 0; k < 3; ++k)
    d += (a.tcp[k] - b.tcp[k]) * (a.tcp[k] - b.tcp[k]);
  return std::sqrt(d);
}

// The first statement of kind T after the completed call of `function`.
template <class T>
const StatementRun* firstAfter(const RunData& run, const char* function) {
  bool seen = false;
  for (const auto& r : run.outcome.runs) {
    const auto* call = std::get_if<Call>(&r.statement.action);
    if (call && call->calls(function) && r.completed)
      seen = true;
    else if (seen && std::holds_alternative<T>(r.statement.action))
      return &r;
  }
  return nullptr;
}

bool missing(Summary& s, const char* row, const StatementRun* r, const RunData& run) {
  if (r && at(run, r->start_s) && at(run, r->end_s))
    return false;
  s.check(row, "not found", "in the program", false);
  return true;
}

}  // namespace

void deadbandRows(Summary& s, const RunData& run) {
  const StatementRun* stand = firstAfter<Wait>(run, "activateForceControl");
  if (missing(s, "standing with the dead band", stand, run))
    return;
  const CycleRecord* from = at(run, stand->start_s);
  double drift = 0.0;
  for (const auto& r : run.records) {
    if (r.time_s >= stand->start_s && r.time_s <= stand->end_s)
      drift = std::max(drift, distance(r, *from));
  }
  s.check(fmt("TCP travel standing %.0f s with the dead band", stand->end_s - stand->start_s),
          fmt("%.3f mm", drift * kMmPerM), fmt("below %.0f mm", kStandStillM * kMmPerM),
          drift < kStandStillM);
  const StatementRun* push = firstAfter<Push>(run, "activateForceControl");
  if (missing(s, "push with the dead band", push, run))
    return;
  const double moved = distance(*at(run, push->end_s), *at(run, push->start_s));
  s.check("TCP travel under the push", fmt("%.1f mm", moved * kMmPerM),
          fmt("at least %.0f mm", kFollowM * kMmPerM), moved >= kFollowM);
}

void springRows(Summary& s, const RunData& run) {
  const StatementRun* push = firstAfter<Push>(run, "activateForceControl");
  if (missing(s, "push on the spring", push, run))
    return;
  const auto* p = std::get_if<Push>(&push->statement.action);
  const double force =
      std::sqrt(p->force[0] * p->force[0] + p->force[1] * p->force[1] + p->force[2] * p->force[2]);
  double u[3];
  for (int k = 0; k < 3; ++k)
    u[k] = force > 0.0 ? p->force[k] / force : 0.0;
  const CycleRecord* start = at(run, push->start_s);
  auto along = [&](const CycleRecord& r) {
    double d = 0.0;
    for (int k = 0; k < 3; ++k)
      d += (r.tcp[k] - start->tcp[k]) * u[k];
    return d;
  };
  const double expected = force / kSpringStiffness;
  const double deflection = along(*at(run, push->end_s));
  s.check("deflection at the end of the push", fmt("%.1f mm", deflection * kMmPerM),
          fmt("%.0f mm +- %.0f %%", expected * kMmPerM, kDeflectionTolerance * 100.0),
          std::fabs(deflection - expected) <= kDeflectionTolerance * expected);
  const StatementRun* back = nullptr;
  for (const auto& r : run.outcome.runs) {
    if (r.start_s >= push->end_s && std::holds_alternative<Wait>(r.statement.action)) {
      back = &r;
      break;
    }
  }
  if (missing(s, "wait after the push", back, run))
    return;
  const double left = distance(*at(run, back->end_s), *start);
  s.check(fmt("TCP off its start, %.0f s after the push", back->end_s - back->start_s),
          fmt("%.3f mm", left * kMmPerM), fmt("within %.0f mm", kBackM * kMmPerM), left <= kBackM);
  double past = 0.0;
  for (const auto& r : run.records) {
    if (r.time_s >= push->end_s && r.time_s <= back->end_s)
      past = std::max(past, -along(r));
  }
  s.check("overshoot past the start", fmt("%.3f mm", past * kMmPerM),
          fmt("at most %.0f %% of the deflection", kOvershoot * 100.0),
          past <= kOvershoot * std::fabs(deflection));
}

void surfaceRows(Summary& s, const RunData& run) {
  const StatementRun* hold = firstAfter<Wait>(run, "activateForceControl");
  if (missing(s, "hold on the table", hold, run))
    return;
  double target = 0.0;
  for (const auto& r : run.outcome.runs) {
    const auto* call = std::get_if<Call>(&r.statement.action);
    if (call && call->calls("setForceTrackValue") && r.completed && r.start_s <= hold->start_s)
      target = std::get<Vector3>(call->args[0]).z;
  }
  double sum = 0.0;
  int n = 0;
  for (const auto& r : run.records) {
    if (r.time_s < hold->end_s - 1.0 || r.time_s > hold->end_s)
      continue;
    const double depth = run.plane_z - r.tcp[2];
    sum += depth > 0.0 ? run.plane_stiffness * depth : 0.0;
    ++n;
  }
  const double mean = n > 0 ? sum / n : 0.0;
  s.check("the table's push, the hold's last 1 s (base z)", fmt("%.2f N", mean),
          fmt("%.2f N +- %.1f N", target, kForceBandN),
          n > 0 && std::fabs(mean - target) <= kForceBandN);
  const CycleRecord* from = at(run, hold->end_s - 2.0);
  double slide = 0.0;
  for (const auto& r : run.records) {
    if (r.time_s < hold->end_s - 2.0 || r.time_s > hold->end_s)
      continue;
    slide = std::max(slide, std::hypot(r.tcp[0] - from->tcp[0], r.tcp[1] - from->tcp[1]));
  }
  s.check("drift along the table, the hold's last 2 s", fmt("%.3f mm", slide * kMmPerM),
          fmt("below %.0f mm", kSlideM * kMmPerM), slide < kSlideM);
}

}  // namespace vorel_sim
