// The figures of a measurement run as JSON and as summary rows: every key in
// its place, null for what was not measured, goals that report without
// failing the run.
#include <gtest/gtest.h>

#include <sstream>

#include "bench/e2e/measure_figures.h"

namespace {

using vorel_sim_app::MeasureFigures;
using vorel_sim_app::Summary;

MeasureFigures partial() {
  MeasureFigures f;
  f.step_to_drive_ms = {3, 5.5, 8.25, 9.125};
  f.steps_missed = 2;
  f.reader_cpu_percent = 0.1;
  f.force_control_cpu_percent = 0.25;
  f.rss_kib_start = 100;
  f.rss_kib_end = 104;
  f.duration_s = 20.0041;
  f.latency_window_s = 12.0;
  f.cpu_window_s = 8.0021;
  f.sensor_rate_hz = 500.0;
  f.step_amplitude_n = 5.0;
  f.step_period_ms = 20.0;
  return f;
}

// The summary line of `quantity`.
std::string row(const Summary& s, const std::string& quantity) {
  std::istringstream in(s.format());
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("  " + quantity + "  ", 0) == 0)
      return line;
  }
  return "";
}

std::string lastWord(const std::string& line) {
  return line.substr(line.find_last_of(' ') + 1);
}

TEST(MeasureFigures_Json_HasEveryKeyInOrder, NullWhereNotMeasured) {
  EXPECT_EQ(partial().json(),
            "{\n"
            "  \"step_to_drive_latency_ms\": {\"median\": 5.500, \"p99\": 8.250, \"max\": 9.125, "
            "\"count\": 3},\n"
            "  \"frame_to_publication_latency_ms\": {\"median\": null, \"p99\": null, \"max\": "
            "null, \"count\": 0},\n"
            "  \"worker_cpu_percent_of_core\": null,\n"
            "  \"worker_cpu_percent_of_core_by_thread\": {\"reader\": 0.100, \"force_control\": "
            "0.250, \"facade\": null},\n"
            "  \"rss_kib_start\": 100,\n"
            "  \"rss_kib_end\": 104,\n"
            "  \"rss_growth_kib\": 4,\n"
            "  \"duration_s\": 20.004,\n"
            "  \"latency_window_s\": 12.000,\n"
            "  \"cpu_window_s\": 8.002,\n"
            "  \"steps_missed\": 2,\n"
            "  \"sensor_rate_hz\": 500,\n"
            "  \"load_average_1min\": null,\n"
            "  \"controller_cycles\": null,\n"
            "  \"missed_cycles\": null,\n"
            "  \"controller_overruns\": 0,\n"
            "  \"controller_late_wakes\": 0,\n"
            "  \"force_control_scheduling\": \"unknown\",\n"
            "  \"load_processes\": 0\n"
            "}\n");
}

TEST(MeasureFigures_AllThreeWorkers_SumTheirCpu, GrowthIsEndMinusStart) {
  MeasureFigures f = partial();
  EXPECT_EQ(f.workersFound(), 2);
  EXPECT_FALSE(f.workerCpuPercent());
  f.facade_cpu_percent = 0.05;
  EXPECT_EQ(f.workersFound(), 3);
  ASSERT_TRUE(f.workerCpuPercent());
  EXPECT_DOUBLE_EQ(*f.workerCpuPercent(), 0.4);
  EXPECT_NE(f.json().find("\"worker_cpu_percent_of_core\": 0.400,"), std::string::npos);
  EXPECT_EQ(f.rssGrowthKiB(), 4);
  f.rss_kib_end.reset();
  EXPECT_FALSE(f.rssGrowthKiB());
  EXPECT_NE(f.json().find("\"rss_growth_kib\": null,"), std::string::npos);
}

TEST(MeasureFigures_Rows_GoalsReportAndChecksDecide, MissedGoalStillPasses) {
  // Everything measured, every goal missed: the run passes.
  MeasureFigures f = partial();
  f.facade_cpu_percent = 2.0;
  f.frame_to_publication_ms = {10, 1.0, 2.0, 3.0};
  Summary missed("measure summary");
  f.addRows(missed);
  EXPECT_TRUE(missed.passed()) << missed.format();
  EXPECT_EQ(lastWord(row(missed, "step-to-drive latency")), "missed");
  EXPECT_NE(row(missed, "step-to-drive latency")
                .find("median 5.50 ms, p99 8.25 ms, max 9.12 ms (3 steps)"),
            std::string::npos);
  EXPECT_EQ(lastWord(row(missed, "worker CPU, three filters in the chain")), "missed");
  EXPECT_EQ(lastWord(row(missed, "resident memory growth")), "missed");
  EXPECT_EQ(lastWord(row(missed, "plug-in worker threads found")), "ok");
  EXPECT_NE(missed.format().find("result: PASS\n"), std::string::npos);

  // Goals met.
  f.step_to_drive_ms.p99 = 7.5;
  f.facade_cpu_percent = 0.05;
  f.rss_kib_end = 100;
  Summary met("measure summary");
  f.addRows(met);
  EXPECT_EQ(lastWord(row(met, "step-to-drive latency")), "met");
  EXPECT_EQ(lastWord(row(met, "worker CPU, three filters in the chain")), "met");
  EXPECT_EQ(lastWord(row(met, "resident memory growth")), "met");

  // A worker not found, no frame seen: the run fails on those checks.
  Summary failed("measure summary");
  partial().addRows(failed);
  EXPECT_FALSE(failed.passed());
  EXPECT_EQ(lastWord(row(failed, "plug-in worker threads found")), "FAIL");
  EXPECT_EQ(lastWord(row(failed, "frame-to-publication latency")), "FAIL");
  EXPECT_NE(failed.format().find("result: FAIL (2 of 3 criteria failed)\n"), std::string::npos);
}

}  // namespace
