#include "sim/scenario/force_safety_rows.h"

#include <algorithm>
#include <cmath>
#include <variant>

namespace vorel_sim {

namespace {

constexpr double kDefaultForceLimit = 150.0;  // N
constexpr double kMaxForceLimit = 2000.0;     // N
constexpr double kLoweredSettleS = 1.0;
constexpr double kLoweredSlackN = 0.5;
constexpr double kRestAfterS = 0.2;
constexpr double kCycleS = 0.002;
constexpr double kRestSlackM = 0.0001;
constexpr double kShortOfLimitM = 0.001;

// The floor's push on the tool in the record's cycle, N.
double floorForce(const RunData& run, const CycleRecord& r) {
  const double depth = run.plane_z - r.tcp[2];
  return depth > 0.0 ? run.plane_stiffness * depth : 0.0;
}

// The last record at or before `t`, else the first.
const CycleRecord* recordAt(const RunData& run, double t) {
  const CycleRecord* found = nullptr;
  for (const auto& r : run.records) {
    if (r.time_s > t)
      break;
    found = &r;
  }
  return found ? found : (run.records.empty() ? nullptr : &run.records.front());
}

// The force limit a completed setForceLimits call set; 0 when it was
// refused (out of range).
double limitSet(const Call& call) {
  const double f = std::get<double>(call.args[0]);
  const double t = std::get<double>(call.args[1]);
  return f > 0.0 && f <= kMaxForceLimit && t > 0.0 && t <= 200.0 ? f : 0.0;
}

void loweredLimitRows(Summary& s, const RunData& run) {
  double limit = kDefaultForceLimit;
  for (const auto& r : run.outcome.runs) {
    const auto* call = std::get_if<Call>(&r.statement.action);
    if (!call || !r.completed || !call->calls("setForceLimits"))
      continue;
    const double set = limitSet(*call);
    if (set <= 0.0)
      continue;
    const CycleRecord* at = recordAt(run, r.start_s);
    const bool lowered_under = set < limit && at && floorForce(run, *at) > set;
    limit = set;
    if (!lowered_under)
      continue;
    const CycleRecord* later = recordAt(run, r.start_s + kLoweredSettleS);
    const double force = later ? floorForce(run, *later) : INFINITY;
    s.check(fmt("force 1 s after the limit was lowered to %g N", set),
            fmt("%.2f N (from %.2f N)", force, floorForce(run, *at)),
            fmt("at most %.1f N", set + kLoweredSlackN), force <= set + kLoweredSlackN);
  }
}

void restRows(Summary& s, const RunData& run) {
  const auto& runs = run.outcome.runs;
  for (std::size_t i = 0; i + 1 < runs.size(); ++i) {
    const auto* call = std::get_if<Call>(&runs[i].statement.action);
    if (!call || !runs[i].completed || !call->calls("moveToContact") ||
        !std::holds_alternative<Wait>(runs[i + 1].statement.action) ||
        runs[i + 1].end_s < runs[i].end_s + kRestAfterS)
      continue;
    const double speed = std::fabs(std::get<double>(call->args[2])) / 1000.0;  // m/s
    const double limit = std::get<double>(call->args[4]) / 1000.0;             // m
    const CycleRecord* start = recordAt(run, runs[i].start_s);
    const CycleRecord* end = recordAt(run, runs[i].end_s);
    const CycleRecord* rest = recordAt(run, runs[i].end_s + kRestAfterS);
    if (!start || !end || !rest)
      continue;
    auto travelled = [start](const CycleRecord& r) {
      double d = 0.0;
      for (int k = 0; k < 3; ++k)
        d += (r.tcp[k] - start->tcp[k]) * (r.tcp[k] - start->tcp[k]);
      return std::sqrt(d);
    };
    // A call that ended well before its travel limit (a contact) retracts:
    // judged by the contact rows.
    if (travelled(*rest) < limit - kShortOfLimitM)
      continue;
    const double beyond = travelled(*rest) - limit;
    const double bound = speed * kCycleS + kRestSlackM;
    s.check(fmt("moveToContact beyond its %g mm travel limit, at rest", limit * 1000.0),
            fmt("%.2f mm (%.2f mm when it returned)", beyond * 1000.0,
                (travelled(*end) - limit) * 1000.0),
            fmt("at most %.2f mm", bound * 1000.0), beyond <= bound);
  }
}

}  // namespace

void largestForceRow(Summary& s, const RunData& run) {
  double limit = kDefaultForceLimit;
  for (const auto& r : run.outcome.runs) {
    const auto* call = std::get_if<Call>(&r.statement.action);
    if (call && r.completed && call->calls("setForceLimits"))
      limit = std::max(limit, limitSet(*call));
  }
  double most = 0.0, at_s = 0.0;
  for (const auto& r : run.records) {
    const double f = floorForce(run, r);
    if (f > most) {
      most = f;
      at_s = r.time_s;
    }
  }
  s.check("largest force at the tool",
          most > 0.0 ? fmt("%.1f N (the floor's push, at t=%.3f s)", most, at_s)
                     : std::string("0 N (no contact)"),
          fmt("at most %g N (force limit)", limit), most <= limit);
}

void forceSafetyRows(Summary& s, const RunData& run) {
  loweredLimitRows(s, run);
  restRows(s, run);
}

}  // namespace vorel_sim
