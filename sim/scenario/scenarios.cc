#include "sim/scenario/scenarios.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

#include "sim/controller/robot_state.h"
#include "sim/scenario/fail_safe_rows.h"
#include "sim/scenario/force_safety_rows.h"
#include "sim/scenario/guide_rows.h"
#include "sim/scenario/law_rows.h"

namespace vorel_sim {

namespace {

using Kind = FaultStep::Kind;

std::vector<Scenario> makeCatalogue() {
  std::vector<Scenario> all;

  Scenario contact;
  contact.name = "contact";
  contact.description =
      "tare, then moveToContact down onto the floor 50 mm below the tool, and back off";
  all.push_back(contact);

  Scenario hold;
  hold.name = "hold";
  hold.description = "tare, a 20 Hz low-pass, then force control on z pressing 10 N onto the floor";
  hold.cell.plane_z = 0.04;  // 10 mm below the tool
  all.push_back(hold);

  Scenario filters;
  filters.name = "filters";
  filters.description =
      "a noisy sensor with a 60 Hz vibration on fz, read without filters, with a notch, then with "
      "notch and low-pass";
  filters.cell.force_noise = 0.3;
  filters.cell.vibration = Vibration{2, 1.5, 60.0};
  filters.needs_emulator = true;
  all.push_back(filters);

  Scenario faults;
  faults.name = "faults";
  faults.description =
      "force control holding 10 N while the line gets wrong CRCs, dropped bytes and a garbage "
      "burst";
  faults.cell.plane_z = 0.04;
  faults.needs_emulator = true;
  faults.faults = {
      {1.0, Kind::CorruptCrcs, 10},   {1.5, Kind::DropBytes, 0.002}, {2.0, Kind::Clear, 0},
      {2.5, Kind::GarbageBurst, 100}, {3.0, Kind::Clear, 0},
  };
  all.push_back(faults);

  Scenario identify;
  identify.name = "identify";
  identify.description =
      "the cell's true tool differs from the configuration's: six orientations, samples, "
      "identifyToolLoad, then the tool-frame force in every orientation before and after";
  identify.cell.plane_z = -1.0;  // nothing to touch
  identify.cell.tool = ToolSpec{1.25, hx4rc_api::Vector(0.012, -0.004, 0.065)};
  const double bias[6] = {2.5, -1.5, 3.0, 0.1, -0.08, 0.05};
  for (int i = 0; i < 6; ++i)
    identify.cell.sensor_bias[i] = bias[i];
  identify.needs_emulator = true;
  // Quick turns: the program visits fourteen orientations.
  vorel_sim::MotionLimits quick;
  quick.max_angular_speed = 4.0;  // rad/s
  identify.cell.motion = quick;
  all.push_back(identify);

  Scenario guide;
  guide.name = "guide";
  guide.description =
      "hand guiding: force control with target 0 N, a 60 N push moves the tool (at the speed "
      "limit), then deactivateForceControl returns the offset to zero";
  guide.cell.plane_z = -1.0;  // nothing to touch
  guide.needs_emulator = true;
  all.push_back(guide);

  Scenario deadband;
  deadband.name = "deadband";
  deadband.description =
      "hand guiding with a tool 0.5 kg heavier than configured: a 6 N dead band stands still, "
      "a 40 N push still moves the tool";
  deadband.cell.plane_z = -1.0;  // nothing to touch
  deadband.cell.tool = ToolSpec{1.3, hx4rc_api::Vector(0.0, 0.0, 0.04)};
  deadband.needs_emulator = true;
  all.push_back(deadband);

  Scenario spring;
  spring.name = "spring";
  spring.description =
      "a virtual stiffness of 500 N/m: a 60 N push deflects the tool 120 mm, released it springs "
      "back";
  spring.cell.plane_z = -1.0;
  spring.needs_emulator = true;
  all.push_back(spring);

  Scenario surface;
  surface.name = "surface";
  surface.description =
      "the law in the robot base's axes: a tool tilted 30 degrees presses 10 N straight down onto "
      "the table, without sliding";
  surface.cell.plane_z = 0.04;  // 10 mm below the tool
  surface.needs_emulator = true;
  all.push_back(surface);
  return all;
}

const std::vector<Scenario>& catalogue() {
  static const std::vector<Scenario> all = makeCatalogue();
  return all;
}

// The last completed call of `function`, or nullptr.
const StatementRun* lastCall(const RunData& run, const char* function, double before_s = INFINITY) {
  const StatementRun* found = nullptr;
  for (const auto& r : run.outcome.runs) {
    const auto* call = std::get_if<Call>(&r.statement.action);
    if (call && call->calls(function) && r.completed && r.start_s < before_s)
      found = &r;
  }
  return found;
}

const Call& callOf(const StatementRun& r) {
  return std::get<Call>(r.statement.action);
}

// The records of a time window that carry the segment's values (a record
// whose look into the segment timed out has none to judge).
std::vector<const CycleRecord*> window(const RunData& run, double from_s, double to_s) {
  std::vector<const CycleRecord*> out;
  for (const auto& r : run.records) {
    if (r.sampled && r.time_s >= from_s && r.time_s <= to_s)
      out.push_back(&r);
  }
  return out;
}

double forceNorm(const vorel_device::Wrench& w) {
  return std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
}

std::uint64_t diagnostic(const RunData& run, const char* key) {
  const auto it = run.diagnostics.find(key);
  return it == run.diagnostics.end() ? 0 : it->second.lines;
}

// The frames the reader's end lines of a kind add up to.
std::uint64_t endTotal(const RunData& run, const char* key) {
  const auto it = run.diagnostics.find(key);
  return it == run.diagnostics.end() ? 0 : it->second.total;
}

// Episodes of wrong CRCs the reader reported, and the frames they held.
std::string crcReports(const RunData& run) {
  return fmt("%llu (%llu frames in the end lines)",
             (unsigned long long)diagnostic(run, "crc_error"),
             (unsigned long long)endTotal(run, "crc_end"));
}

}  // namespace

// The largest change of the offset at the drive between two commands, against
// the speed limits x 2 ms: the defaults, or the highest the program set.
void offsetStepRow(Summary& s, const RunData& run) {
  double mm_s = 250.0;
  double deg_s = 45.0;
  for (const auto& r : run.outcome.runs) {
    const auto* call = std::get_if<Call>(&r.statement.action);
    if (!call || !call->calls("setForceControlSpeedLimits") || !r.completed)
      continue;
    const double t = std::get<double>(call->args[0]);
    const double d = std::get<double>(call->args[1]);
    if (t > 0.0 && t <= 1000.0 && d > 0.0 && d <= 180.0) {
      mm_s = std::max(mm_s, t);
      deg_s = std::max(deg_s, d);
    }
  }
  const double cycle_s = 0.002;
  double step_mm = 0.0, step_deg = 0.0;
  if (!run.records.empty()) {
    step_mm = run.records.back().largest_translation_step * 1000.0;
    step_deg = run.records.back().largest_rotation_step * 180.0 / M_PI;
  }
  // Rounding of the limit times the cycle: a part in a billion.
  const double slack = 1.0 + 1e-9;
  s.check("largest offset change in one cycle", fmt("%.3f mm, %.3f deg", step_mm, step_deg),
          fmt("at most %.3f mm, %.3f deg", mm_s * cycle_s, deg_s * cycle_s),
          step_mm <= mm_s * cycle_s * slack && step_deg <= deg_s * cycle_s * slack);
}

// `cap_ok`: a program ended by --duration counts as done (a plain program
// run); a scenario must run to its end for its criteria to mean anything.
void programRow(Summary& s, const RunData& run, bool cap_ok) {
  const RunOutcome& o = run.outcome;
  std::string value = "ran to its end";
  bool capped = false;
  if (!run.setup_error.empty()) {
    value = o.runs.empty() ? "not run (see the error above)" : "stopped (see the error above)";
  } else if (o.error) {
    value = "error: " + *o.error;
  } else if (o.aborted) {
    capped = !run.interrupted && run.duration_cap_s.has_value();
    value = run.interrupted ? std::string("interrupted")
            : capped        ? fmt("stopped by --duration after %g s", *run.duration_cap_s)
                            : std::string("stopped");
    if (!o.runs.empty())
      value += fmt(" (line %d)", o.runs.back().statement.line);
  }
  s.check("robot program", value, cap_ok ? "runs to its end or to --duration" : "runs to its end",
          run.setup_error.empty() && !o.error && (o.completed || (cap_ok && capped)));
}

// Line and drive health, common to every summary. `clean`: no faults were
// injected, so no CRC error may be seen.
void linkRows(Summary& s, const RunData& run, bool clean, bool report_crc) {
  if (run.emulator) {
    // Schedule restarts: frame times the emulator missed by a whole period
    // (a loaded machine); bytes lost: the device did not read the line in
    // time.
    s.info("frames sent by the sensor", fmt("%llu (%llu schedule restarts, %llu bytes lost)",
                                            (unsigned long long)run.emulator->frames_sent,
                                            (unsigned long long)run.emulator->late_ticks,
                                            (unsigned long long)run.emulator->bytes_lost));
  }
  // With faults on the line, the faults rows report the reader's view.
  if (clean) {
    const auto crc = diagnostic(run, "crc_error");
    s.check("CRC errors seen by the reader", fmt("%llu", (unsigned long long)crc), "0", crc == 0);
    s.info("lost-sync reports", fmt("%llu", (unsigned long long)diagnostic(run, "lost_sync")));
    s.info("stale-sensor ERROR lines",
           fmt("%llu", (unsigned long long)diagnostic(run, "stale_trip")));
  } else if (report_crc) {
    s.info("CRC errors seen by the reader (under load)",
           fmt("%llu", (unsigned long long)diagnostic(run, "crc_error")));
    s.info("lost-sync reports", fmt("%llu", (unsigned long long)diagnostic(run, "lost_sync")));
  }
  std::uint64_t commands = 0, non_finite = 0, refused = 0;
  if (!run.records.empty()) {
    commands = run.records.back().drive_commands;
    non_finite = run.records.back().drive_non_finite;
    refused = run.records.back().drive_refused;
  }
  s.info("reference offsets sent to the drive", fmt("%llu", (unsigned long long)commands));
  offsetStepRow(s, run);
  largestForceRow(s, run);
  s.check("NaN or infinite offsets at the drive", fmt("%llu", (unsigned long long)non_finite), "0",
          non_finite == 0);
  s.check("offsets refused by the drive", fmt("%llu", (unsigned long long)refused), "0",
          refused == 0);
}

namespace {

void traceRow(Summary& s, const RunData& run) {
  if (!run.trace_path.empty()) {
    s.info("trace", fmt("%s (%lu rows)", run.trace_path.c_str(), run.trace_rows));
  }
}

// The device's black box: files written (their INFO lines name them) and
// ERROR lines of files it could not write.
void blackBoxRows(Summary& s, const RunData& run) {
  s.info("black-box files written",
         fmt("%llu", (unsigned long long)diagnostic(run, "blackbox_file")));
  s.info("black-box ERROR lines",
         fmt("%llu", (unsigned long long)diagnostic(run, "blackbox_error")));
}

// Force-control window: from the last activateForceControl to the
// deactivateForceControl after it (or the end of the run).
struct ControlWindow {
  double on_s = 0.0;
  double off_s = 0.0;
  double target = 0.0;
  bool found = false;
};

ControlWindow controlWindow(const RunData& run) {
  ControlWindow w;
  const StatementRun* on = lastCall(run, "activateForceControl");
  if (!on || run.records.empty())
    return w;
  w.on_s = on->start_s;
  w.off_s = run.records.back().time_s;
  for (const auto& r : run.outcome.runs) {
    const auto* call = std::get_if<Call>(&r.statement.action);
    if (call && call->calls("deactivateForceControl") && r.start_s >= w.on_s) {
      w.off_s = r.start_s;
      break;
    }
  }
  if (const StatementRun* track = lastCall(run, "setForceTrackValue", w.off_s)) {
    w.target = std::get<Vector3>(callOf(*track).args[0]).z;
  }
  w.found = w.off_s > w.on_s;
  return w;
}

// No fault was asked for: the reader must see no CRC error.
bool cleanLine(const RunData& run) {
  return run.host_fault_plan.empty() && (!run.emulator || run.emulator->faults_injected == 0);
}

// Rows of a run with --fault: what was injected, what the reader reported,
// the fail-safe checks of each fault (see fail_safe_rows.h), and how force
// control came out of it: back at its target once the line is clean (or,
// for faults that last, at the end), or, after a hang-up, cleanly idle: no
// new frame, and force control on until the program switches it off.
void hostFaultRows(Summary& s, const RunData& run) {
  if (run.host_fault_plan.empty())
    return;
  std::optional<double> hang_up_s;
  for (const auto& a : run.faults) {
    s.info(fmt("fault at t=%.3f s", a.time_s), a.step.describe());
    if (a.step.kind == Kind::HangUp)
      hang_up_s = a.time_s;
  }
  s.check("fault plan applied",
          fmt("%zu of %zu steps", run.faults.size(), run.host_fault_plan.size()), "all",
          run.faults.size() == run.host_fault_plan.size());
  if (run.emulator) {
    s.info("faults injected by the sensor emulator",
           fmt("%llu CRC, %llu bytes dropped, %llu inserted, %llu garbage bytes",
               (unsigned long long)run.emulator->crc_errors,
               (unsigned long long)run.emulator->bytes_dropped,
               (unsigned long long)run.emulator->bytes_inserted,
               (unsigned long long)run.emulator->garbage_bytes));
  }
  s.info("wrong CRCs reported by the reader", crcReports(run));
  const auto lost =
      run.diagnostics.count("lost_sync") ? run.diagnostics.at("lost_sync") : OutputMonitor::Count();
  s.info("lost-sync reports",
         lost.lines ? fmt("%llu, the last at t=%.3f s (%llu frames skipped in the end lines)",
                          (unsigned long long)lost.lines, lost.last_time,
                          (unsigned long long)endTotal(run, "sync_end"))
                    : std::string("0"));

  const ControlWindow w = controlWindow(run);
  failSafeRows(s, run, {w.found, w.on_s, w.off_s, w.target});
  // A dead holder of the named mutex leaves the segment unreadable, and
  // without the activating process nothing runs: there is nothing more to
  // judge from it.
  for (const auto& a : run.faults) {
    if (a.step.kind == Kind::MutexHolder || a.step.kind == Kind::ActivatorKill)
      return;
  }
  if (hang_up_s) {
    // Frames still in the line when it closed may arrive just after.
    const double quiet_from = *hang_up_s + 0.1;
    std::uint64_t fresh = 0;
    const CycleRecord* previous = nullptr;
    for (const auto& r : run.records) {
      if (previous && r.time_s > quiet_from && r.sequence != previous->sequence)
        ++fresh;
      previous = &r;
    }
    s.check("new frames after the hang-up", fmt("%llu", (unsigned long long)fresh), "0",
            fresh == 0);
    if (w.found && w.off_s > *hang_up_s && w.on_s < *hang_up_s) {
      s.info("force control after the hang-up",
             fmt("on for %.2f s, until deactivated", w.off_s - *hang_up_s));
    }
    return;
  }
  if (!w.found) {
    s.info("force control", "not switched on: nothing to recover");
    return;
  }
  std::optional<double> clean_s;
  if (run.fault_start_s) {
    if (const auto after = FaultPlan::cleanAfter(run.host_fault_plan))
      clean_s = *run.fault_start_s + *after;
  }
  const double from = clean_s ? *clean_s + 0.3 : w.off_s - 0.5;
  if (w.off_s - from < 0.2) {
    s.check("force control after the faults", "too short to judge",
            "on for 0.5 s or more after the line is clean", false);
    return;
  }
  // Frames flowing: the published sequence number advances at no less than
  // half the sensor's rate.
  const auto judged = window(run, from, w.off_s);
  const double span = judged.empty() ? 0.0 : judged.back()->time_s - judged.front()->time_s;
  const double advanced =
      judged.empty() ? 0.0
                     : static_cast<double>(judged.back()->sequence - judged.front()->sequence);
  const double expected = 0.5 * run.rate_hz * span;
  s.check(clean_s ? "frames found again after the faults" : "frames getting through, at the end",
          fmt("%.0f frames in %.2f s", advanced, span), fmt("at least %.0f", expected),
          span > 0.0 && advanced >= expected);
  const double band = std::max(0.5, 0.05 * std::fabs(w.target));
  std::vector<double> fz;
  for (const auto* r : window(run, std::max(from, w.off_s - 0.5), w.off_s))
    fz.push_back(r->filtered[2]);
  const double m = stats::mean(fz);
  s.check("force back at the target (filtered fz, at the end)", fmt("%.3f N", m),
          fmt("%.2f N +- %.2f N", w.target, band), !fz.empty() && std::fabs(m - w.target) <= band);
}

// The rows every scenario ends with: injected faults, the line, the trace.
void closingRows(Summary& s, const RunData& run) {
  hostFaultRows(s, run);
  forceSafetyRows(s, run);
  hostDeactivateRows(s, run);
  linkRows(s, run, cleanLine(run));
  blackBoxRows(s, run);
  traceRow(s, run);
}

Summary contactSummary(const RunData& run) {
  Summary s("contact summary");
  programRow(s, run);
  const StatementRun* move = lastCall(run, "moveToContact");
  if (!move) {
    s.check("moveToContact", "not called (or did not return)", "called", false);
    closingRows(s, run);
    return s;
  }
  const Call& call = callOf(*move);
  const double threshold = std::get<double>(call.args[3]);
  const double retract_mm = std::get<double>(call.args[5]);
  const auto during = window(run, move->start_s, move->end_s + 0.01);
  const CycleRecord* contact = nullptr;
  double deepest = INFINITY;
  for (const auto* r : during) {
    if (!contact && forceNorm(r->tool) > threshold)
      contact = r;
    deepest = std::min(deepest, r->tcp[2]);
  }
  s.info("force threshold", fmt("%g N", threshold));
  s.check("contact found", contact ? fmt("at t=%.3f s", contact->time_s) : "no", "yes",
          contact != nullptr);
  if (contact) {
    const double height_mm = (contact->tcp[2] - run.plane_z) * 1000.0;
    s.check("TCP height above the floor at contact", fmt("%.2f mm", height_mm), "within 3 mm",
            std::fabs(height_mm) <= 3.0);
    s.info("deepest point, below the floor", fmt("%.2f mm", (run.plane_z - deepest) * 1000.0));
    s.info("force at contact", fmt("%.2f N", forceNorm(contact->tool)));
  }
  if (!contact) {
    s.check("retract after contact", "no contact", fmt("%g mm +- 1 mm", retract_mm), false);
  } else if (!run.records.empty() && std::isfinite(deepest)) {
    const double end_z = run.records.back().tcp[2];
    const double retracted_mm = (end_z - deepest) * 1000.0;
    s.check("retract after contact", fmt("%.2f mm", retracted_mm), fmt("%g mm +- 1 mm", retract_mm),
            std::fabs(retracted_mm - retract_mm) <= 1.0);
    s.check("TCP clear of the floor at the end", fmt("%.2f mm", (end_z - run.plane_z) * 1000.0),
            "above 0 mm", end_z > run.plane_z);
  }
  closingRows(s, run);
  return s;
}

Summary holdSummary(const RunData& run) {
  Summary s("hold summary");
  programRow(s, run);
  const ControlWindow w = controlWindow(run);
  if (!w.found) {
    s.check("force control", "not switched on", "on", false);
    closingRows(s, run);
    return s;
  }
  const double band = std::max(0.5, 0.05 * std::fabs(w.target));
  std::vector<double> times, filtered;
  for (const auto* r : window(run, w.on_s, w.off_s)) {
    times.push_back(r->time_s);
    filtered.push_back(r->filtered[2]);
  }
  s.info("target force fz (TCP)", fmt("%.2f N", w.target));
  s.info("force control on", fmt("%.3f s", w.off_s - w.on_s));
  const auto settled = stats::settlingTime(times, filtered, w.target, band);
  s.check("settling time (filtered fz)", settled ? fmt("%.3f s", *settled - w.on_s) : "not settled",
          fmt("settles within +-%.2f N", band), settled.has_value());
  const double steady_len = std::min(1.0, 0.4 * (w.off_s - w.on_s));
  std::vector<double> steady_filtered, steady_tool;
  for (const auto* r : window(run, w.off_s - steady_len, w.off_s)) {
    steady_filtered.push_back(r->filtered[2]);
    steady_tool.push_back(r->tool[2]);
  }
  const double m = stats::mean(steady_filtered);
  const double sd = stats::stddev(steady_filtered);
  s.check(fmt("steady-state mean, last %.1f s", steady_len), fmt("%.3f N", m),
          fmt("%.2f N +- %.2f N", w.target, band), std::fabs(m - w.target) <= band);
  s.check("steady-state spread (std dev)", fmt("%.3f N", sd), "below 0.5 N", sd < 0.5);
  s.info("unfiltered fz mean / std dev",
         fmt("%.3f N / %.3f N", stats::mean(steady_tool), stats::stddev(steady_tool)));
  closingRows(s, run);
  return s;
}

Summary filtersSummary(const RunData& run) {
  Summary s("filters summary");
  programRow(s, run);
  struct Window {
    std::string label;
    double input_sd = 0.0;
    double output_sd = 0.0;
  };
  std::vector<Window> windows;
  std::set<std::string> active;
  for (const auto& r : run.outcome.runs) {
    if (const auto* call = std::get_if<Call>(&r.statement.action)) {
      if (!r.completed)
        continue;
      if (call->calls("addFilter"))
        active.insert(std::get<std::string>(call->args[0]));
      if (call->calls("removeFilter")) {
        const auto& name = std::get<std::string>(call->args[0]);
        if (name == "all") {
          active.clear();
        } else {
          active.erase(name);
        }
      }
      continue;
    }
    if (!std::holds_alternative<Wait>(r.statement.action) || !r.completed)
      continue;
    std::vector<double> in, out;
    for (const auto* c : window(run, r.start_s, r.end_s)) {
      in.push_back(c->tool[2]);
      out.push_back(c->filtered[2]);
    }
    if (in.size() < 10)
      continue;
    std::string label;
    for (const auto& name : active)
      label += (label.empty() ? "" : " + ") + name;
    windows.push_back({label.empty() ? "no filter" : label, stats::stddev(in), stats::stddev(out)});
  }
  if (windows.size() < 2) {
    s.check("wait windows to compare", fmt("%zu", windows.size()), "2 or more", false);
    closingRows(s, run);
    return s;
  }
  for (std::size_t i = 0; i < windows.size(); ++i) {
    s.info(fmt("fz noise, window %zu: %s", i + 1, windows[i].label.c_str()),
           fmt("%.3f N (input %.3f N)", windows[i].output_sd, windows[i].input_sd));
  }
  const double before = windows.front().output_sd;
  const double after = windows.back().output_sd;
  s.check("noise reduction, first to last window",
          fmt("%.3f N -> %.3f N (%.1f dB)", before, after,
              20.0 * std::log10(std::max(after, 1e-12) / std::max(before, 1e-12))),
          "down to a third or less", after <= before / 3.0);
  closingRows(s, run);
  return s;
}

Summary faultsSummary(const Scenario& scenario, const RunData& run) {
  Summary s("faults summary");
  programRow(s, run);
  for (const auto& a : run.faults) {
    s.info(fmt("fault at t=%.3f s", a.time_s), a.step.describe());
  }
  s.check("fault plan applied", fmt("%zu of %zu steps", run.faults.size(), scenario.faults.size()),
          "all", run.faults.size() == scenario.faults.size());
  if (run.emulator) {
    s.info("faults injected by the sensor emulator",
           fmt("%llu CRC, %llu bytes dropped, %llu garbage bytes",
               (unsigned long long)run.emulator->crc_errors,
               (unsigned long long)run.emulator->bytes_dropped,
               (unsigned long long)run.emulator->garbage_bytes));
  }
  const auto crc = diagnostic(run, "crc_error");
  s.check("wrong CRCs reported by the reader", crcReports(run), "1 or more", crc >= 1);
  const auto lost =
      run.diagnostics.count("lost_sync") ? run.diagnostics.at("lost_sync") : OutputMonitor::Count();
  s.info("lost-sync reports",
         fmt("%llu, the last at t=%.3f s", (unsigned long long)lost.lines, lost.last_time));

  double clean_s = NAN;
  for (const auto& a : run.faults) {
    if (a.step.kind == Kind::Clear)
      clean_s = a.time_s;
  }
  const ControlWindow w = controlWindow(run);
  if (std::isfinite(clean_s) && w.found && w.off_s > clean_s + 0.3) {
    // Frames flowing again: the published sequence number advances after the
    // line is clean, at no less than half the sensor's rate.
    const auto after = window(run, clean_s + 0.3, w.off_s);
    const double span = after.empty() ? 0.0 : after.back()->time_s - after.front()->time_s;
    const double advanced =
        after.empty() ? 0.0 : static_cast<double>(after.back()->sequence - after.front()->sequence);
    const double expected = 0.5 * run.rate_hz * span;
    s.check("frames found again after the faults", fmt("%.0f frames in %.2f s", advanced, span),
            fmt("at least %.0f", expected),
            span > 0.0 && advanced >= expected && lost.last_time <= clean_s + 0.3);
    const double band = std::max(0.5, 0.05 * std::fabs(w.target));
    std::vector<double> fz;
    for (const auto* r : window(run, w.off_s - 0.5, w.off_s))
      fz.push_back(r->filtered[2]);
    const double m = stats::mean(fz);
    s.check("force at the end (filtered fz, last 0.5 s)", fmt("%.3f N", m),
            fmt("%.2f N +- %.2f N", w.target, band),
            !fz.empty() && std::fabs(m - w.target) <= band);
  } else {
    s.check("force control after the faults", "too short to judge",
            "on for 0.3 s or more after the line is clean", false);
  }
  linkRows(s, run, false);
  blackBoxRows(s, run);
  traceRow(s, run);
  return s;
}

// The tool-frame bias that makes the readout zero without contact: the
// sensor's bias (sensor axes, about the sensor origin) moved to the cell's
// TCP, whose axes are the flange's: force Rs bF, torque Rs bT + r x (Rs bF)
// with r = ps - pt, the sensor origin seen from the TCP.
vorel_device::Wrench toolFrameBias(const vorel_device::Wrench& sensor_bias,
                                   const hx4rc_api::Frame& sensor) {
  const hx4rc_api::Vector r = sensor.position - vorel_sim::cell::tcpInFlange().position;
  const hx4rc_api::Vector f =
      sensor.rotation * hx4rc_api::Vector(sensor_bias[0], sensor_bias[1], sensor_bias[2]);
  const hx4rc_api::Vector t =
      sensor.rotation * hx4rc_api::Vector(sensor_bias[3], sensor_bias[4], sensor_bias[5]);
  return vorel_device::Wrench{{f[0], f[1], f[2], t[0] + r[1] * f[2] - r[2] * f[1],
                               t[1] + r[2] * f[0] - r[0] * f[2], t[2] + r[0] * f[1] - r[1] * f[0]}};
}

Summary identifySummary(const Scenario& scenario, const RunData& run) {
  Summary s("identify summary");
  programRow(s, run);
  const ToolSpec truth = run.tool ? *run.tool : *scenario.cell.tool;
  const StatementRun* id = lastCall(run, "identifyToolLoad");
  const bool identified = id && id->values.size() == 4 && std::isfinite(id->values[0]);
  if (!identified) {
    s.check("tool load identified", "no", "yes", false);
    closingRows(s, run);
    return s;
  }
  const double mass = id->values[0];
  const hx4rc_api::Vector cog(id->values[1], id->values[2], id->values[3]);
  s.check("identified mass", fmt("%.4f kg (true %.4f kg)", mass, truth.mass), "within 1 %",
          std::fabs(mass - truth.mass) <= 0.01 * truth.mass);
  const double cog_error_mm = (cog - truth.cog).Norm() * 1000.0;
  s.check("identified centre of gravity",
          fmt("(%.5f, %.5f, %.5f) m (true (%.5f, %.5f, %.5f) m), %.3f mm off", cog[0], cog[1],
              cog[2], truth.cog[0], truth.cog[1], truth.cog[2], cog_error_mm),
          "within 1 mm", cog_error_mm <= 1.0);
  // The bias the device applied, against the true one in the tool frame.
  if (!run.records.empty()) {
    const vorel_device::Wrench want =
        toolFrameBias(scenario.cell.sensor_bias, run.sensor_in_flange);
    const vorel_device::Wrench& got = run.records.back().bias;
    double force_error = 0.0, torque_error = 0.0;
    for (int i = 0; i < 3; ++i) {
      force_error = std::max(force_error, std::fabs(got[i] - want[i]));
      torque_error = std::max(torque_error, std::fabs(got[3 + i] - want[3 + i]));
    }
    s.check("applied sensor bias, tool frame (force)",
            fmt("(%.3f, %.3f, %.3f) N, %.4f N off", got[0], got[1], got[2], force_error),
            "within 0.05 N", force_error <= 0.05);
    s.check("applied sensor bias, tool frame (torque)",
            fmt("(%.4f, %.4f, %.4f) N m, %.5f N m off", got[3], got[4], got[5], torque_error),
            "within 0.005 N m", torque_error <= 0.005);
  }
  // The tool-frame force, filtered, in each orientation before and after.
  std::vector<double> before, after;
  for (const StatementRun& r : run.outcome.runs) {
    const Call* c = std::get_if<Call>(&r.statement.action);
    if (!c || !c->calls("readForceFiltered") || r.values.size() != 3)
      continue;
    const double norm = std::sqrt(r.values[0] * r.values[0] + r.values[1] * r.values[1] +
                                  r.values[2] * r.values[2]);
    (r.start_s < id->start_s ? before : after).push_back(norm);
  }
  std::string listed;
  double worst_after = 0.0;
  for (std::size_t k = 0; k < after.size(); ++k) {
    listed += fmt("%s%zu: ", k ? ", " : "", k + 1);
    listed += k < before.size() ? fmt("%.2f -> ", before[k]) : std::string("new -> ");
    listed += fmt("%.3f N", after[k]);
    worst_after = std::max(worst_after, after[k]);
  }
  s.info("tool-frame force without contact, before -> after", listed);
  s.check("tool-frame force after identification, every orientation",
          fmt("at most %.3f N in %zu orientations", worst_after, after.size()), "below 0.1 N",
          after.size() == 8 && worst_after < 0.1);
  closingRows(s, run);
  return s;
}

}  // namespace

const Scenario& scenarioByName(const std::string& name) {
  for (const auto& scenario : catalogue()) {
    if (scenario.name == name)
      return scenario;
  }
  throw std::invalid_argument("unknown scenario '" + name + "'");
}

CellSetup programCell() {
  return CellSetup();
}

Summary evaluateScenario(const Scenario& scenario, const RunData& run) {
  if (scenario.name == "contact")
    return contactSummary(run);
  if (scenario.name == "identify")
    return identifySummary(scenario, run);
  if (scenario.name == "hold")
    return holdSummary(run);
  if (scenario.name == "filters")
    return filtersSummary(run);
  if (scenario.name == "guide") {
    Summary s("guide summary");
    programRow(s, run);
    guideRows(s, run);
    closingRows(s, run);
    return s;
  }
  using Rows = void (*)(Summary&, const RunData&);
  const std::pair<const char*, Rows> law[] = {
      {"deadband", deadbandRows}, {"spring", springRows}, {"surface", surfaceRows}};
  for (const auto& [name, rows] : law) {
    if (scenario.name == name) {
      Summary s(scenario.name + " summary");
      programRow(s, run);
      rows(s, run);
      closingRows(s, run);
      return s;
    }
  }
  return faultsSummary(scenario, run);
}

Summary evaluateProgram(const RunData& run) {
  Summary s("program summary");
  programRow(s, run, true);
  s.info("statements run", fmt("%zu", run.outcome.runs.size()));
  if (!run.records.empty()) {
    s.info("controller time", fmt("%.3f s", run.records.back().time_s));
    s.info("motion commands", fmt("%llu", (unsigned long long)run.records.back().motion_commands));
  }
  closingRows(s, run);
  return s;
}

}  // namespace vorel_sim
