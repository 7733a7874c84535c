// vorel-sim --measure, end to end: the built-in measurement program run by
// the built vorel-sim, writing its figures as JSON. The figures themselves
// depend on the machine; the test checks that each is there, well formed
// and sensible, never how fast anything was.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cmath>
#include <string>

#include "tests/e2e/vorel_sim_process.h"

namespace {

using boost::property_tree::ptree;
using vorel_e2e::ProcessResult;
using vorel_e2e::runVorelSim;
using vorel_e2e::summaryRow;
using vorel_e2e::TempDir;

// A number of the JSON object; NaN when the key is missing or null.
double figure(const ptree& tree, const std::string& key) {
  const auto value = tree.get_optional<std::string>(key);
  if (!value || *value == "null")
    return NAN;
  return std::stod(*value);
}

void expectDistribution(const ptree& tree, const std::string& key) {
  SCOPED_TRACE(key);
  const double count = figure(tree, key + ".count");
  const double median = figure(tree, key + ".median");
  const double p99 = figure(tree, key + ".p99");
  const double max = figure(tree, key + ".max");
  EXPECT_GE(count, 1.0);
  ASSERT_TRUE(std::isfinite(median) && std::isfinite(p99) && std::isfinite(max));
  EXPECT_GE(median, 0.0);
  EXPECT_LE(median, p99);
  EXPECT_LE(p99, max);
}

TEST(VorelSim_Measure_WritesEveryFigure, FiniteAndConsistent) {
  TempDir dir;
  const ProcessResult r =
      runVorelSim({"--measure", "m.json", "--duration", "3", "--load", "1"}, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(summaryRow(r.out, "figures written").check, "ok") << r.out;
  EXPECT_EQ(summaryRow(r.out, "plug-in worker threads found").value, "3 of 3");
  EXPECT_EQ(summaryRow(r.out, "NaN or infinite offsets at the drive").value, "0");
  // Under load the line's CRC errors are reported without a verdict.
  EXPECT_NE(summaryRow(r.out, "CRC errors seen by the reader (under load)").value, "");
  // The program ran as the measurement describes it.
  EXPECT_NE(r.out.find(" s line 3: setEnabledSystemFilters(false)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" s line 8: activateForceControl(true, false)\n"), std::string::npos);

  ptree json;
  ASSERT_NO_THROW(boost::property_tree::read_json(dir.file("m.json"), json));
  expectDistribution(json, "step_to_drive_latency_ms");
  expectDistribution(json, "frame_to_publication_latency_ms");

  const double cpu = figure(json, "worker_cpu_percent_of_core");
  ASSERT_TRUE(std::isfinite(cpu));
  EXPECT_GE(cpu, 0.0);
  double sum = 0.0;
  for (const char* worker : {"reader", "force_control", "facade"}) {
    const double part = figure(json, std::string("worker_cpu_percent_of_core_by_thread.") + worker);
    ASSERT_TRUE(std::isfinite(part)) << worker;
    EXPECT_GE(part, 0.0) << worker;
    sum += part;
  }
  EXPECT_NEAR(sum, cpu, 0.002);  // three decimals each

  const double start = figure(json, "rss_kib_start");
  const double end = figure(json, "rss_kib_end");
  EXPECT_GT(start, 0.0);
  EXPECT_GT(end, 0.0);
  EXPECT_EQ(figure(json, "rss_growth_kib"), end - start);

  const double latency_window = figure(json, "latency_window_s");
  const double cpu_window = figure(json, "cpu_window_s");
  EXPECT_GT(latency_window, 0.0);
  EXPECT_GT(cpu_window, 0.0);
  EXPECT_GE(figure(json, "duration_s"), latency_window + cpu_window - 0.002);
  EXPECT_EQ(figure(json, "sensor_rate_hz"), 500.0);
  EXPECT_GE(figure(json, "steps_missed"), 0.0);
  EXPECT_GE(figure(json, "load_average_1min"), 0.0);

  // Missed cycles: whole 2 ms controller cycles of both windows (ticks, plus
  // the deadlines the clock skipped), with the shipped configuration's
  // priority 40 where permitted.
  const double cycles = figure(json, "controller_cycles");
  EXPECT_NEAR(cycles + figure(json, "controller_overruns"), figure(json, "duration_s") * 500.0,
              3.0);
  EXPECT_GE(figure(json, "missed_cycles"), 0.0);
  EXPECT_LE(figure(json, "missed_cycles"), cycles);
  EXPECT_GE(figure(json, "controller_overruns"), 0.0);
  const std::string scheduling = json.get<std::string>("force_control_scheduling");
  EXPECT_TRUE(scheduling == "SCHED_FIFO 40" || scheduling == "normal") << scheduling;
  EXPECT_EQ(figure(json, "load_processes"), 1.0);
  EXPECT_NE(r.out.find("[host] 1 CPU-bound load processes running beside the device"),
            std::string::npos);
  EXPECT_NE(r.out.find("[host] controller clock "), std::string::npos);
  EXPECT_NE(summaryRow(r.out, "missed controller cycles").value.find(" of "), std::string::npos);
}

TEST(VorelSim_Measure_WithoutTheEmulatorOrAWritableFile_IsRefused, BeforeAnythingStarts) {
  TempDir dir;
  ProcessResult r = runVorelSim({"--measure", "m.json", "--port", "/dev/null"}, dir.path());
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "vorel-sim: --measure needs the built-in sensor emulator: give no --port\n");
  r = runVorelSim({"--measure", dir.file("missing/m.json")}, dir.path());
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err,
            "vorel-sim: cannot write the measurement file " + dir.file("missing/m.json") + "\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(vorel_e2e::fileExists(dir.file("m.json")));
}

}  // namespace
