#include "sim/scenario/fail_safe_rows.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <variant>
#include <vector>

namespace vorel_sim {

namespace {

using Kind = FaultStep::Kind;

constexpr double kMmPerM = 1000.0;
constexpr double kHeldOffsetMm = 0.01;  // a held offset moves no more than this, mm
// The stale limit (50 ms at 500 Hz) plus detection, with room for a loaded
// machine: the check catches a supervisor that does not trip, not jitter.
constexpr double kTripWithinS = 0.250;
constexpr double kNanRecoveryS = 0.5;
constexpr double kWindDownS = 2.0;
// A binding process notices a dead force-control thread within this of its
// next function call (no cycle for 50 ms, plus the call's own time).
constexpr double kNoticeS = 0.1;

OutputMonitor::Count line(const RunData& run, const char* key) {
  const auto it = run.diagnostics.find(key);
  return it == run.diagnostics.end() ? OutputMonitor::Count() : it->second;
}

// Records with from_s <= time < to_s.
std::vector<const CycleRecord*> between(const RunData& run, double from_s, double to_s) {
  std::vector<const CycleRecord*> out;
  for (const auto& r : run.records) {
    if (r.time_s >= from_s && r.time_s < to_s)
      out.push_back(&r);
  }
  return out;
}

bool finiteOffset(const CycleRecord& r) {
  return std::isfinite(r.offset[0]) && std::isfinite(r.offset[1]) && std::isfinite(r.offset[2]);
}

double distanceMm(const CycleRecord& a, const CycleRecord& b) {
  double d = 0.0;
  for (int i = 0; i < 3; ++i)
    d = std::max(d, std::fabs(a.offset[i] - b.offset[i]));
  return d * kMmPerM;
}

// Largest change of the translational offset at the drive (any axis, mm)
// from the first record of the window to any later one; empty without one.
std::optional<double> drift(const RunData& run, double from_s, double to_s) {
  const auto w = between(run, from_s, to_s);
  if (w.empty() || !finiteOffset(*w.front()))
    return std::nullopt;
  double most = 0.0;
  for (const auto* r : w) {
    most = std::max(most, finiteOffset(*r) ? distanceMm(*w.front(), *r) : INFINITY);
  }
  return most;
}

// Largest change of the translational offset from one cycle to the next
// (any axis, mm) within the window.
double largestStep(const RunData& run, double from_s, double to_s) {
  const auto w = between(run, from_s, to_s);
  double most = 0.0;
  for (std::size_t i = 1; i < w.size(); ++i) {
    if (finiteOffset(*w[i - 1]) && finiteOffset(*w[i]))
      most = std::max(most, distanceMm(*w[i - 1], *w[i]));
  }
  return most;
}

// Controller cycles and drive commands within a window, and the advance of
// the published frame's sequence number (sampled records only).
struct Flow {
  std::uint64_t cycles = 0;
  std::uint64_t commands = 0;
  std::uint64_t frames = 0;
  double span_s = 0.0;
};

Flow flow(const RunData& run, double from_s, double to_s) {
  Flow f;
  const auto w = between(run, from_s, to_s);
  if (w.size() < 2)
    return f;
  f.cycles = w.back()->tick - w.front()->tick;
  f.commands = w.back()->drive_commands - w.front()->drive_commands;
  f.span_s = w.back()->time_s - w.front()->time_s;
  const CycleRecord* first = nullptr;
  const CycleRecord* last = nullptr;
  for (const auto* r : w) {
    if (!r->has_frame)
      continue;
    if (!first)
      first = r;
    last = r;
  }
  if (first)
    f.frames = static_cast<std::uint32_t>(last->sequence - first->sequence);
  return f;
}

// The time a step's fault ends: the applied step after it of the same kind
// that switches it off, else `otherwise`.
double endOf(const RunData& run, std::size_t index, double otherwise) {
  for (std::size_t k = index + 1; k < run.faults.size(); ++k) {
    if (run.faults[k].step.kind == run.faults[index].step.kind && run.faults[k].step.value <= 0.0)
      return run.faults[k].time_s;
  }
  return otherwise;
}

// Trips before a fault (a starved reader on a loaded machine trips the
// supervisor too, and it recovers) are not the fault's: lines are counted
// from the fault on, unless the supervisor still holds at the fault.
void hangUpRows(Summary& s, const RunData& run, double at_s, const ControlSpan& span) {
  const auto trip = line(run, "stale_trip");
  const auto recovered = line(run, "stale_recovered");
  // A supervisor that a starved reader tripped just before the hang-up is
  // still holding at it: its trip counts as this episode's.
  const bool holding = trip.lines - trip.since(at_s) > recovered.lines - recovered.since(at_s);
  const std::uint64_t trips = trip.since(at_s) + (holding ? 1 : 0);
  s.check("stale-sensor ERROR lines after the hang-up", fmt("%llu", (unsigned long long)trips), "1",
          trips == 1 && recovered.since(at_s) == 0);
  if (trips == 0) {
    s.check("supervisor trip after the hang-up", "none", "within 250 ms", false);
    return;
  }
  const double tripped = holding ? at_s : trip.firstSince(at_s);
  const double delay = tripped - at_s;
  s.check("supervisor trip after the hang-up", fmt("%.0f ms", delay * 1000.0), "within 250 ms",
          delay <= kTripWithinS);
  const double until = span.found && span.off_s > tripped ? span.off_s : INFINITY;
  const auto moved = drift(run, tripped, until);
  s.check("offset change after the trip", moved ? fmt("%.4f mm", *moved) : "no offset",
          fmt("at most %g mm", kHeldOffsetMm), moved && *moved <= kHeldOffsetMm);
}

// The reader's lines about flagged frames: one when they begin, one when
// they end (at most one pair per second), the end line with their count.
void readerFlagRows(Summary& s, const RunData& run, double from, double to) {
  const auto begun = line(run, "flagged");
  const auto ended = line(run, "flagged_end");
  const std::uint64_t lines = begun.since(from) + ended.since(from);
  const double last_s = run.records.empty() ? from : run.records.back().time_s;
  const std::uint64_t bound = 2 * static_cast<std::uint64_t>(std::min(to, last_s) - from + 1.0);
  s.check("reader lines about flagged frames", fmt("%llu", (unsigned long long)lines),
          fmt("1 to %llu (two a second at most)", (unsigned long long)bound),
          lines >= 1 && lines <= bound);
  if (!run.emulator)
    return;
  // On an otherwise clean line the reader sees every flagged frame sent
  // before the fault ended.
  const auto& e = *run.emulator;
  const bool comparable =
      to < last_s &&
      e.crc_errors + e.bytes_dropped + e.bytes_inserted + e.garbage_bytes + e.bytes_lost == 0;
  const std::string counted = fmt("%llu", (unsigned long long)ended.total);
  if (comparable) {
    s.check("flagged frames counted by the reader", counted,
            fmt("%llu, as sent", (unsigned long long)e.status_frames),
            ended.total == e.status_frames);
  } else {
    s.info("flagged frames counted by the reader", counted);
  }
}

void statusRows(Summary& s, const RunData& run, std::size_t index, const ControlSpan& span) {
  const auto& applied = run.faults[index];
  if (run.emulator) {
    s.info("frames flagged by the sensor",
           fmt("%llu (1000 N, 1000 N m)", (unsigned long long)run.emulator->status_frames));
  }
  if (!span.found)
    return;
  const double from = applied.time_s;
  const double to = std::min(endOf(run, index, span.off_s), span.off_s);
  // The reference: the undisturbed force control before the fault, whose
  // largest step (the approach to the target) bounds what valid forces give.
  if (from - span.on_s < 0.2 || to <= from) {
    s.check("offset step per cycle while frames are flagged", "cannot be judged",
            "the fault starting 0.2 s or more after force control, during it", false);
    return;
  }
  const double before = largestStep(run, span.on_s, from);
  const double during = largestStep(run, from, to);
  // A flagged sample that entered the law (1000 N m) would step the offset
  // by orders of magnitude; 10 % covers the filtered error's own variation.
  s.check("offset step per cycle while frames are flagged", fmt("at most %.4f mm", during),
          fmt("at most %.4f mm (before, +10 %%)", before), during <= 1.1 * before);
  readerFlagRows(s, run, from, endOf(run, index, INFINITY));
  if (applied.step.value >= 1.0 && to - from > kTripWithinS) {
    const auto trip = line(run, "stale_trip");
    const bool tripped = trip.since(from) > 0;
    s.check("stale-sensor ERROR line (every frame flagged)",
            tripped ? fmt("at t=%.3f s", trip.firstSince(from)) : std::string("none"),
            "appears after the fault", tripped);
  }
}

void nanRows(Summary& s, const RunData& run, double at_s, const ControlSpan& span) {
  if (run.emulator)
    s.info("NaN frames sent by the sensor",
           fmt("%llu", (unsigned long long)run.emulator->nan_frames));
  if (!span.found || span.off_s - at_s < kNanRecoveryS) {
    s.check("force control after the NaN frame", "cannot be judged",
            "force control on for 0.5 s or more after it", false);
    return;
  }
  const Flow f = flow(run, at_s, at_s + kNanRecoveryS);
  // Force control goes on: a drive command in most cycles (a loaded machine
  // may make the thread miss some); a thread that the NaN ended sends none.
  s.check("drive commands in the 0.5 s after the NaN frame",
          fmt("%llu in %llu cycles", (unsigned long long)f.commands, (unsigned long long)f.cycles),
          "in half of the cycles or more", f.cycles > 0 && f.commands >= 0.5 * f.cycles);
  std::vector<double> times, fz;
  for (const auto* r : between(run, at_s, span.off_s)) {
    if (!r->sampled)
      continue;
    times.push_back(r->time_s);
    fz.push_back(r->filtered[2]);
  }
  const double band = std::max(0.5, 0.05 * std::fabs(span.target));
  const auto settled = stats::settlingTime(times, fz, span.target, band);
  s.check("filtered fz back within the band after the NaN frame",
          settled ? fmt("after %.3f s", std::max(0.0, *settled - at_s)) : std::string("never"),
          fmt("within %.1f s (%.2f N +- %.2f N)", kNanRecoveryS, span.target, band),
          settled && *settled - at_s <= kNanRecoveryS);
}

void mutexRows(Summary& s, const RunData& run, const FaultPlan::Applied& applied,
               const ControlSpan& span) {
  s.check("named mutex held by a dead process", applied.note, "taken", applied.done);
  const auto failed = line(run, "cycle_failed");
  const std::uint64_t failures = failed.since(applied.time_s);
  s.check("force-control cycle failed ERROR lines", fmt("%llu", (unsigned long long)failures), "1",
          failures == 1);
  if (failures > 0 && !run.outcome.runs.empty()) {
    double until = run.outcome.runs.back().end_s;
    if (span.found)
      until = std::min(until, span.off_s);
    const auto moved = drift(run, failed.firstSince(applied.time_s), until);
    s.check("offset change after the ERROR line, to the program's end",
            moved ? fmt("%.4f mm", *moved) : "no offset", fmt("at most %g mm", kHeldOffsetMm),
            moved && *moved <= kHeldOffsetMm);
  }
  s.check("wind-down after the program's end",
          run.wind_down_s ? fmt("%.2f s", *run.wind_down_s) : std::string("program did not end"),
          fmt("within %g s", kWindDownS), run.wind_down_s && *run.wind_down_s <= kWindDownS);
}

void signalRows(Summary& s, const RunData& run, const FaultPlan::Applied& applied,
                const ControlSpan& span) {
  const double from = applied.time_s;
  const double to = from + applied.step.value;
  s.check("SIGUSR1 handled by vorel-sim",
          fmt("%llu of %llu sent", (unsigned long long)run.signals_handled,
              (unsigned long long)run.signals_sent),
          "1 or more", run.signals_handled > 0);
  const auto lost = line(run, "lost_sync");
  const auto crc = line(run, "crc_error");
  const bool quiet = lost.since(from) == 0 && crc.since(from) == 0;
  s.check("reader reports (lost sync, wrong CRC) from the signals on", quiet ? "none" : "some",
          "none", quiet);
  // As long a time before the signals (at most), with force control on and
  // past its first 0.1 s, in which the thread starts up.
  const double base_from = std::max(span.found ? span.on_s + 0.1 : 0.0, from - (to - from));
  const Flow base = flow(run, base_from, from);
  const Flow storm = flow(run, from, to);
  if (!span.found || span.off_s < to || from - base_from < 0.2 || base.span_s <= 0.0 ||
      storm.span_s <= 0.0) {
    s.check("frames and drive commands during the signals", "cannot be judged",
            "force control on from 0.3 s before the signals to their end", false);
    return;
  }
  // Per second, so that windows of different lengths compare. The checks
  // catch a worker that a signal ended or stalled (it would publish or send
  // nothing), not the jitter of a loaded machine: a busy machine hands the
  // pseudo-terminal's bytes over in bursts of two frames, of which the reader
  // publishes the newest, so a quarter of the rate before is the bound.
  const double base_frames = base.frames / base.span_s;
  const double storm_frames = storm.frames / storm.span_s;
  s.check("frames published per second during the signals",
          fmt("%.0f (before: %.0f)", storm_frames, base_frames),
          "at least a quarter as many as before", storm_frames >= 0.25 * base_frames);
  // Missed cycles per cycle; a signal handler costs microseconds, and a
  // force-control thread that a signal ended would miss them all: at most
  // 10 % of the cycles more than before (a loaded machine delays a wake-up
  // here and there).
  const double missing =
      static_cast<double>(storm.cycles - std::min(storm.cycles, storm.commands)) / storm.cycles;
  const double missing_before =
      static_cast<double>(base.cycles - std::min(base.cycles, base.commands)) / base.cycles;
  s.check("cycles without a drive command during the signals",
          fmt("%.1f %% of %llu (before: %.1f %%)", 100.0 * missing,
              (unsigned long long)storm.cycles, 100.0 * missing_before),
          "at most 10 % more than before", storm.cycles > 0 && missing <= missing_before + 0.10);
}

// Isolated line faults (a byte dropped or inserted now and then, garbage
// bursts of a few frames) cost only the frames they touch, far less than
// the stale limit: the supervisor never trips. Rows only for runs whose line
// faults are all of that kind.
void isolatedLineFaultRows(Summary& s, const RunData& run) {
  constexpr double kIsolatedByteP = 0.001;
  constexpr double kShortBurstMs = 20.0;
  std::optional<double> first;
  for (const auto& a : run.faults) {
    const Kind kind = a.step.kind;
    if (kind == Kind::Clear)
      continue;
    const bool bytes = kind == Kind::DropBytes || kind == Kind::InsertBytes;
    if (!(bytes && a.step.value <= kIsolatedByteP) &&
        !(kind == Kind::GarbageBurst && a.step.value <= kShortBurstMs))
      return;
    if (!first && a.step.value > 0.0)
      first = a.time_s;
  }
  if (!first)
    return;
  const std::uint64_t trips = line(run, "stale_trip").since(*first);
  s.check("stale-sensor trips from the line faults on", fmt("%llu", (unsigned long long)trips),
          "0 (a fault costs the frames it touched)", trips == 0);
}

// The binding process after the activating one was killed: every health
// readout from kNoticeS after the kill shows state 3 (not running), and
// every moveToContact after the kill commands no motion.
void activatorKillRows(Summary& s, const RunData& run, const FaultPlan::Applied& applied) {
  s.check("activating process killed", applied.note, "killed", applied.done);
  const double kill_s = applied.time_s;
  int readouts = 0, not_running = 0, calls = 0;
  std::uint64_t moved = 0;
  for (const auto& r : run.outcome.runs) {
    const auto* call = std::get_if<Call>(&r.statement.action);
    if (!call || r.start_s < kill_s)
      continue;
    if (call->calls("readSensorHealth") && r.start_s >= kill_s + kNoticeS) {
      ++readouts;
      not_running += r.values.size() >= 6 && r.values[5] == 3.0 ? 1 : 0;
    }
    if (call->calls("moveToContact")) {
      ++calls;
      const auto w = between(run, r.start_s, r.end_s + 0.01);
      if (w.size() >= 2)
        moved += w.back()->motion_commands - w.front()->motion_commands;
    }
  }
  s.check(fmt("supervisor state in readSensorHealth from %g s after the kill", kNoticeS),
          fmt("3 in %d of %d readouts", not_running, readouts), "3 in every one (1 or more)",
          readouts > 0 && not_running == readouts);
  s.check("motion commands of moveToContact after the kill",
          fmt("%llu in %d calls", (unsigned long long)moved, calls), "0 (1 call or more)",
          calls > 0 && moved == 0);
}

}  // namespace

void failSafeRows(Summary& s, const RunData& run, const ControlSpan& span) {
  isolatedLineFaultRows(s, run);
  for (std::size_t i = 0; i < run.faults.size(); ++i) {
    const auto& a = run.faults[i];
    switch (a.step.kind) {
      case Kind::HangUp:
        hangUpRows(s, run, a.time_s, span);
        break;
      case Kind::StatusFrames:
        if (a.step.value > 0.0)
          statusRows(s, run, i, span);
        break;
      case Kind::NanFrame:
        nanRows(s, run, a.time_s, span);
        break;
      case Kind::MutexHolder:
        mutexRows(s, run, a, span);
        break;
      case Kind::Signals:
        signalRows(s, run, a, span);
        break;
      case Kind::ActivatorKill:
        activatorKillRows(s, run, a);
        break;
      default:
        break;
    }
  }
}

void hostDeactivateRows(Summary& s, const RunData& run) {
  const StatementRun* deactivation = nullptr;
  for (const auto& r : run.outcome.runs) {
    if (std::holds_alternative<HostDeactivate>(r.statement.action) && r.completed)
      deactivation = &r;
  }
  if (!deactivation || run.records.empty())
    return;
  const double* before = nullptr;
  for (const auto& r : run.records) {
    if (r.time_s < deactivation->start_s)
      before = r.offset;
  }
  if (before) {
    s.info("offset at the drive before hostDeactivate",
           fmt("(%.3f, %.3f, %.3f) mm", before[0] * kMmPerM, before[1] * kMmPerM,
               before[2] * kMmPerM));
  }
  const double* last = run.records.back().offset;
  bool zero = true;
  for (int i = 0; i < 6; ++i)
    zero = zero && last[i] == 0.0;
  s.check(
      "last offset at the drive after hostDeactivate",
      fmt("(%g, %g, %g) m, (%g, %g, %g) rad", last[0], last[1], last[2], last[3], last[4], last[5]),
      "exactly 0", zero);
}

}  // namespace vorel_sim
