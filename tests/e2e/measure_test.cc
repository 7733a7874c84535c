// vorel-sim --measure, end to end: the built-in measurement program writing
// its figures as JSON. The figures depend on the machine; the test checks
// that each is there, finite and consistent with the others, never how fast
// anything was.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cmath>
#include <string>

#include "tests/e2e/vorel_sim_process.h"

namespace {

using vorel_e2e::summaryRow;

TEST(VorelSimMeasure, Measure_UnderLoad_WritesEveryFigureFiniteAndConsistent) {
  vorel_e2e::TempDir dir;
  const auto r =
      vorel_e2e::runVorelSim({"--measure", "m.json", "--duration", "3", "--load", "1"}, dir);
  ASSERT_EQ(r.exit.status, 0) << r.out << r.err;
  EXPECT_EQ(summaryRow(r.out, "figures written").check, "ok") << r.out;
  EXPECT_EQ(summaryRow(r.out, "plug-in worker threads found").value, "3 of 3");
  EXPECT_EQ(summaryRow(r.out, "NaN or infinite offsets at the drive").value, "0");
  EXPECT_TRUE(summaryRow(r.out, "CRC errors seen by the reader (under load)").found);

  boost::property_tree::ptree json;
  ASSERT_NO_THROW(boost::property_tree::read_json(dir.file("m.json"), json));
  const auto figure = [&](const std::string& key) {
    const auto value = json.get_optional<std::string>(key);
    return value && *value != "null" ? std::stod(*value) : NAN;
  };
  for (const std::string key : {"step_to_drive_latency_ms", "frame_to_publication_latency_ms"}) {
    EXPECT_GE(figure(key + ".count"), 1.0) << key;
    EXPECT_GE(figure(key + ".median"), 0.0) << key;
    EXPECT_LE(figure(key + ".median"), figure(key + ".p99")) << key;
    EXPECT_LE(figure(key + ".p99"), figure(key + ".max")) << key;
  }
  double sum = 0.0;
  for (const char* worker : {"reader", "force_control", "facade"}) {
    const double part = figure(std::string("worker_cpu_percent_of_core_by_thread.") + worker);
    EXPECT_GE(part, 0.0) << worker;
    sum += part;
  }
  EXPECT_NEAR(sum, figure("worker_cpu_percent_of_core"), 0.002);  // three decimals each
  EXPECT_EQ(figure("rss_growth_kib"), figure("rss_kib_end") - figure("rss_kib_start"));
  EXPECT_LE(figure("usable_samples_per_second.min"), figure("usable_samples_per_second.mean"));
  EXPECT_GE(figure("minor_faults_after_first_s"), 0.0);
  EXPECT_GE(figure("duration_s"), figure("latency_window_s") + figure("cpu_window_s") - 0.002);
  EXPECT_EQ(figure("sensor_rate_hz"), 500.0);
  // Whole 2 ms cycles of both windows: ticks plus the deadlines the clock
  // skipped.
  const double cycles = figure("controller_cycles");
  EXPECT_NEAR(cycles + figure("controller_overruns"), figure("duration_s") * 500.0, 3.0);
  EXPECT_LE(figure("missed_cycles"), cycles);
}

}  // namespace
