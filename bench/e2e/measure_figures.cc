#include "bench/e2e/measure_figures.h"

#include <cmath>

#include <nlohmann/json.hpp>

namespace vorel_sim {

namespace {

constexpr double kStepToDriveMedianGoalMs = 2.5;
constexpr double kStepToDriveP99GoalMs = 3.5;
constexpr double kPublicationP99GoalMs = 0.6;
constexpr double kUsableSamplesGoal = 490.0;   // per second, at 500 Hz
constexpr double kWorkerCpuGoalPercent = 1.0;  // of one core

using Json = nlohmann::ordered_json;

// `value` rounded to `decimals`, or null when it was not measured.
Json number(const std::optional<double>& value, int decimals = 3) {
  if (!value || !std::isfinite(*value))
    return nullptr;
  const double scale = std::pow(10.0, decimals);
  return std::round(*value * scale) / scale;
}

template <typename T>
Json optional(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json distributionJson(const Distribution& d) {
  auto figure = [&](double v) {
    return number(d.count > 0 ? std::optional<double>(v) : std::nullopt);
  };
  return {{"median", figure(d.median)},
          {"p99", figure(d.p99)},
          {"max", figure(d.max)},
          {"count", d.count}};
}

std::string distributionText(const Distribution& d, const char* what) {
  if (d.count == 0)
    return fmt("no %s", what);
  return fmt("median %.2f ms, p99 %.2f ms, max %.2f ms (%zu %s)", d.median, d.p99, d.max, d.count,
             what);
}

}  // namespace

int MeasureFigures::workersFound() const {
  return (reader_cpu_percent ? 1 : 0) + (force_control_cpu_percent ? 1 : 0) +
         (facade_cpu_percent ? 1 : 0);
}

std::optional<double> MeasureFigures::workerCpuPercent() const {
  if (workersFound() != 3)
    return std::nullopt;
  return *reader_cpu_percent + *force_control_cpu_percent + *facade_cpu_percent;
}

std::optional<long> MeasureFigures::rssGrowthKiB() const {
  if (!rss_kib_start || !rss_kib_end)
    return std::nullopt;
  return *rss_kib_end - *rss_kib_start;
}

std::string MeasureFigures::json() const {
  Json out;
  out["step_to_drive_latency_ms"] = distributionJson(step_to_drive_ms);
  out["frame_to_publication_latency_ms"] = distributionJson(frame_to_publication_ms);
  out["worker_cpu_percent_of_core"] = number(workerCpuPercent());
  out["worker_cpu_percent_of_core_by_thread"] = {
      {"reader", number(reader_cpu_percent)},
      {"force_control", number(force_control_cpu_percent)},
      {"facade", number(facade_cpu_percent)}};
  out["rss_kib_start"] = optional(rss_kib_start);
  out["rss_kib_end"] = optional(rss_kib_end);
  out["rss_growth_kib"] = optional(rssGrowthKiB());
  out["usable_samples_per_second"] = {{"min", number(usable_samples_min)},
                                      {"mean", number(usable_samples_mean)}};
  if (minor_faults) {
    const Faults& m = *minor_faults;
    out["minor_faults_after_first_s"] = m.total();
    out["minor_faults_after_first_s_by_thread"] = {{"reader", m.reader},
                                                   {"force_control", m.force_control},
                                                   {"facade", m.facade},
                                                   {"other", m.other},
                                                   {"threads", m.threads}};
  } else {
    out["minor_faults_after_first_s"] = nullptr;
    out["minor_faults_after_first_s_by_thread"] = nullptr;
  }
  out["duration_s"] = number(duration_s);
  out["latency_window_s"] = number(latency_window_s);
  out["cpu_window_s"] = number(cpu_window_s);
  out["steps_missed"] = steps_missed;
  out["sensor_rate_hz"] = number(sensor_rate_hz, 6);
  out["load_average_1min"] = number(load_average_1min, 2);
  out["controller_cycles"] = optional(controller_cycles);
  out["missed_cycles"] = optional(missed_cycles);
  out["controller_overruns"] = controller_overruns;
  out["controller_late_wakes"] = controller_late_wakes;
  out["force_control_scheduling"] = force_control_scheduling;
  out["load_processes"] = load_processes;
  return out.dump(2) + "\n";
}

void MeasureFigures::addRows(Summary& s) const {
  s.info("sensor rate", fmt("%g Hz", sensor_rate_hz));
  s.info("force steps on fz (sensor axes)", fmt("+-%g N, every %g ms, for %.1f s", step_amplitude_n,
                                                step_period_ms, latency_window_s));
  const Distribution& step = step_to_drive_ms;
  s.goal("step-to-drive latency", distributionText(step, "steps"),
         fmt("median at most %g ms, p99 at most %g ms", kStepToDriveMedianGoalMs,
             kStepToDriveP99GoalMs),
         step.count > 0 && step.median <= kStepToDriveMedianGoalMs &&
             step.p99 <= kStepToDriveP99GoalMs);
  s.check("steps measured", fmt("%zu (%zu without a visible response)", step.count, steps_missed),
          "1 or more", step.count > 0);
  const Distribution& publication = frame_to_publication_ms;
  s.check("frame-to-publication latency", distributionText(publication, "frames"), "measured",
          publication.count > 0);
  s.goal("frame-to-publication p99", publication.count > 0 ? fmt("%.2f ms", publication.p99) : "-",
         fmt("at most %g ms", kPublicationP99GoalMs),
         publication.count > 0 && publication.p99 <= kPublicationP99GoalMs);
  s.goal("usable samples processed by force control",
         usable_samples_min
             ? fmt("lowest %.0f, mean %.1f per second", *usable_samples_min, *usable_samples_mean)
             : std::string("not measured"),
         fmt("at least %g per second", kUsableSamplesGoal),
         usable_samples_min && *usable_samples_min >= kUsableSamplesGoal);
  s.check("plug-in worker threads found", fmt("%d of 3", workersFound()), "3", workersFound() == 3);
  const auto cpu = workerCpuPercent();
  auto part = [](const std::optional<double>& v) { return v ? fmt("%.3f", *v) : std::string("?"); };
  s.goal(
      "worker CPU, three filters in the chain",
      fmt("%s %% of one core (reader %s, force control %s, facade %s) over %.1f s",
          cpu ? fmt("%.3f", *cpu).c_str() : "?", part(reader_cpu_percent).c_str(),
          part(force_control_cpu_percent).c_str(), part(facade_cpu_percent).c_str(), cpu_window_s),
      fmt("under %g %%", kWorkerCpuGoalPercent), cpu && *cpu < kWorkerCpuGoalPercent);
  const auto growth = rssGrowthKiB();
  s.goal("resident memory growth",
         growth ? fmt("%ld KiB (%ld KiB at the start, %ld KiB at the end, %.1f s apart)", *growth,
                      *rss_kib_start, *rss_kib_end, cpu_window_s)
                : std::string("not measured"),
         "none", growth && *growth <= 0);
  if (minor_faults) {
    const Faults& m = *minor_faults;
    s.goal(
        "minor page faults after the first second",
        fmt("%llu (reader %llu, force control %llu, facade %llu, other %llu; %d device threads)",
            static_cast<unsigned long long>(m.total()), static_cast<unsigned long long>(m.reader),
            static_cast<unsigned long long>(m.force_control),
            static_cast<unsigned long long>(m.facade), static_cast<unsigned long long>(m.other),
            m.threads),
        "0", m.total() == 0);
  } else {
    s.goal("minor page faults after the first second", "not measured", "0", false);
  }
  s.goal("missed controller cycles",
         missed_cycles ? fmt("%llu of %llu (force control %s, %d load processes; controller clock: "
                             "%llu wake-ups over 1 ms late, %llu deadlines skipped)",
                             static_cast<unsigned long long>(*missed_cycles),
                             static_cast<unsigned long long>(*controller_cycles),
                             force_control_scheduling.c_str(), load_processes,
                             static_cast<unsigned long long>(controller_late_wakes),
                             static_cast<unsigned long long>(controller_overruns))
                       : std::string("not measured"),
         "0", missed_cycles && *missed_cycles == 0);
  if (load_average_1min)
    s.info("machine load (1 min average)", fmt("%.2f", *load_average_1min));
}

}  // namespace vorel_sim
