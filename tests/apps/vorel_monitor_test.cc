// vorel-monitor as a real process against a ring that this test's writer
// fills at the controller's pace: the JSON snapshot, the CSV dump, following
// every record, and what it says without a recorder or with bad options.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "comm/force_control_recorder.h"
#include "sim/observe/trace_writer.h"
#include "tests/support/csv_column.h"
#include "tests/support/peer_process.h"
#include "tests/support/poll_until.h"
#include "tests/support/recorder_feed.h"

namespace {

namespace rec = vorel_device::recorder;
using vorel_device::ForceControlRecord;
using json = nlohmann::json;

constexpr int kCycleColumn = 28;

std::vector<std::string> monitorArgs(std::vector<std::string> args) {
  args.insert(args.begin(), VOREL_MONITOR);
  return args;
}

using vorel_test::csvColumn;

struct RefusalRow {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* says;  // in standard error
};

class VorelMonitorRefusal : public ::testing::TestWithParam<RefusalRow> {};

TEST_P(VorelMonitorRefusal, Start_NoRecorderOrBadOption_SaysWhyAndExits) {
  const RefusalRow& row = GetParam();
  const vorel_test::PeerRun run = vorel_test::runPeer(monitorArgs(row.args));
  ASSERT_TRUE(run.exit.exited);
  EXPECT_EQ(run.exit.status, row.status);
  EXPECT_NE(run.err.find(row.says), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
}

const char* const kNoRecorder =
    "vorel-monitor: no force-control recorder found: is the device activated?\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, VorelMonitorRefusal,
    ::testing::Values(
        RefusalRow{"LiveViewWithoutRecorder", {}, 1, kNoRecorder},
        RefusalRow{"JsonWithoutRecorder", {"--once", "--json"}, 1, kNoRecorder},
        RefusalRow{"FollowWithoutRecorder", {"--follow", "/tmp/never.csv"}, 1, kNoRecorder},
        RefusalRow{"DumpWithoutRecorder", {"--dump", "-"}, 1, kNoRecorder},
        RefusalRow{"UnknownOption", {"--bogus"}, 2, "--bogus"},
        RefusalRow{"JsonWithoutOnce", {"--json"}, 2, "--once"},
        RefusalRow{"RateAbove25Hz", {"--rate", "40"}, 2, "--rate"},
        RefusalRow{"UnknownAxis", {"--axes", "fz,fq"}, 2, "--axes"},
        RefusalRow{"SecondsWithoutDump", {"--seconds", "2"}, 2, "--dump"},
        RefusalRow{"HttpNotAnAddress",
                   {"--http", "999.1.2.3:8080"},
                   2,
                   "vorel-monitor: --http expects [ADDRESS:]PORT (for example 8080, "
                   "0.0.0.0:8080 or [::1]:8080), found '999.1.2.3:8080': "
                   "'999.1.2.3' is not an IP address\n"},
        RefusalRow{"HttpPortAbove65535", {"--http", "65536"}, 2, "0 to 65535\n"},
        RefusalRow{"HttpIpv6WithoutBrackets", {"--http", "::1:80"}, 2, "brackets\n"},
        RefusalRow{"HttpAddressNotOfThisMachine",
                   {"--http", "192.0.2.1:8080"},
                   2,
                   "vorel-monitor: cannot listen on 192.0.2.1:8080: Cannot assign "
                   "requested address\n"},
        RefusalRow{"HttpWithFollow", {"--http", "0", "--follow", "-"}, 2, "--follow"}),
    [](const testing::TestParamInfo<RefusalRow>& info) { return std::string(info.param.name); });

TEST(VorelMonitor, Http_PortInUse_OneLineAndStatus2) {
  const int held = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(::listen(held, 1), 0);
  ASSERT_EQ(::getsockname(held, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const std::string where = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const vorel_test::PeerRun run = vorel_test::runPeer(monitorArgs({"--http", where}));
  ::close(held);
  ASSERT_TRUE(run.exit.exited);
  EXPECT_EQ(run.exit.status, 2);
  EXPECT_EQ(run.err, "vorel-monitor: cannot listen on " + where + ": Address already in use\n");
}

TEST(VorelMonitor, OnceJsonAndDump_RingWrittenThenStopped_GiveTheRecordsAndSayItStopped) {
  auto writer = rec::createRecorder();
  vorel_test::PacedWriter paced(*writer, ~0ull);
  ASSERT_TRUE(vorel_test::pollUntil([&] { return paced.written() > 10; }));
  vorel_test::PeerRun run = vorel_test::runPeer(monitorArgs({"--once", "--json"}));
  ASSERT_EQ(run.exit.status, 0) << run.err;
  // A record of the running writer, whole.
  json live = json::parse(run.out);
  EXPECT_EQ(live["recorder"]["capacity"], 8192);
  const double cycle = live["cycle"].get<double>();
  EXPECT_EQ(live["wrench"]["filtered"]["force_N"][2], cycle + 0.25 + 30.0);
  EXPECT_EQ(live["offset"]["rotation_rad"][2], cycle * 1e-6 + 5);

  // The writer stops after one last record with values of its own.
  paced.stop();
  ForceControlRecord r;
  r.cycle = 777;
  r.controller_time = 1.554;
  r.monotonic_ns = rec::monotonicNowNs() - 2'000'000'000;  // two seconds ago
  r.raw = {{1.5, -2.25, 10.0, 0.125, -0.5, 0.0625}};
  r.compensated = {{1.0, -2.0, 2.0, 0.25, -0.5, 0.0}};
  r.tcp_unbiased = {{-1.0, 2.0, -2.0, 0.0, 0.5, -0.25}};
  r.filtered = {{-0.5, 1.5, -9.75, 0.0, 0.25, -0.125}};
  r.setpoint = {{0.0, 0.0, -10.0, 0.0, 0.0, 0.0}};
  const double offset[6] = {0.001, -0.002, 0.0005, 0.01, 0.0, -0.02};
  std::copy(offset, offset + 6, r.offset);
  r.tcp_position[0] = 0.4;
  r.tcp_position[1] = 0.0;
  r.tcp_position[2] = 0.0125;
  r.sample_age = 0.06;
  r.usable_samples_per_second = 250.0;
  r.frames_published = 12345;
  r.crc_errors = 7;
  r.lost_sync_events = 3;
  r.last_status = 0x04;
  r.force_control_state = ForceControlRecord::kActive;
  r.supervisor_state = ForceControlRecord::kSupervisorStale;
  r.limits_bound =
      ForceControlRecord::kTranslationalSpeed | ForceControlRecord::kRotationalEnvelope;
  r.events = ForceControlRecord::kStaleTrip;
  r.flags = ForceControlRecord::kOffsetSent;
  writer->append(r);

  run = vorel_test::runPeer(monitorArgs({"--once", "--json"}));
  ASSERT_EQ(run.exit.status, 0) << run.err;
  json stopped = json::parse(run.out);
  EXPECT_FALSE(stopped["recorder"]["advancing"].get<bool>());
  EXPECT_NE(stopped["recorder"]["message"].get<std::string>().find("not advancing"),
            std::string::npos);
  EXPECT_NE(run.err.find("the force-control recorder is not advancing (last record 2."),
            std::string::npos)
      << run.err;
  stopped.erase("recorder");
  // Not running, as the device's readout says it: the sample aged since.
  EXPECT_GT(stopped["supervisor"]["sample_age_s"].get<double>(), 2.06);
  stopped["supervisor"].erase("sample_age_s");
  const json expected = json::parse(R"({
    "cycle": 777, "controller_time_s": 1.554, "monotonic_ns": )" +
                                    std::to_string(r.monotonic_ns) + R"(,
    "force_control": {"state": "active", "state_code": 1, "offset_sent": true,
      "new_sample": false, "limits_bound": ["translational speed", "rotational envelope"],
      "limits_bound_bits": 9, "events": ["stale trip"], "events_bits": 1, "task_frame": "TCP"},
    "supervisor": {"state": "not running", "state_code": 3},
    "health": {"usable_samples_per_second": 0.0, "frames_published": 12345,
      "crc_errors": 7, "lost_sync_events": 3, "last_status": 4},
    "wrench": {
      "raw": {"frame": "sensor", "force_N": [1.5, -2.25, 10.0], "torque_Nm": [0.125, -0.5, 0.0625]},
      "gravity_compensated": {"frame": "sensor", "force_N": [1.0, -2.0, 2.0],
        "torque_Nm": [0.25, -0.5, 0.0]},
      "tool": {"frame": "TCP", "force_N": [-1.0, 2.0, -2.0], "torque_Nm": [0.0, 0.5, -0.25]},
      "filtered": {"frame": "TCP", "force_N": [-0.5, 1.5, -9.75], "torque_Nm": [0.0, 0.25, -0.125]},
      "setpoint": {"frame": "TCP", "force_N": [0.0, 0.0, -10.0], "torque_Nm": [0.0, 0.0, 0.0]}},
    "offset": {"frame": "TCP", "translation_m": [0.001, -0.002, 0.0005],
      "rotation_rad": [0.01, 0.0, -0.02]},
    "tcp_position_m": [0.4, 0.0, 0.0125]})");
  EXPECT_EQ(stopped, expected) << stopped.dump(2);

  // The same as a text frame.
  run = vorel_test::runPeer(monitorArgs({"--once", "--axes", "fz,tz"}));
  ASSERT_EQ(run.exit.status, 0) << run.err;
  for (const char* shown :
       {"recorder: STOPPED: the force-control recorder is not advancing",
        "force control: active, offset sent   supervisor: not running   sample age: 2",
        "limits binding: translational speed, rotational envelope   last event: stale trip at "
        "t = 1.554 s",
        "filtered (TCP)           -0.500    1.500   -9.750    0.000    0.250   -0.125",
        "offset (TCP)              1.000   -2.000    0.500    0.573    0.000   -1.146",
        "filtered tz, last 5 s:"})
    EXPECT_NE(run.out.find(shown), std::string::npos) << shown << "\n" << run.out;

  // The last two cycles as CSV: the trace's columns first.
  run = vorel_test::runPeer(monitorArgs({"--dump", "-", "--seconds", "0.004"}));
  ASSERT_EQ(run.exit.status, 0) << run.err;
  const std::vector<std::string> rows = run.lines();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].substr(0, vorel_sim::TraceWriter::header().size() + 1),
            vorel_sim::TraceWriter::header() + ",");
  EXPECT_EQ(csvColumn(rows[1], kCycleColumn), std::to_string(paced.written() - 1));
  EXPECT_EQ(rows[2].rfind("1.554,1.5,-2.25,10,0.125,-0.5,0.0625,-1,2,-2,0,0.5,-0.25,-0.5,", 0), 0u)
      << rows[2];
  EXPECT_EQ(csvColumn(rows[2], kCycleColumn), "777");
  EXPECT_NE(run.err.find("not advancing"), std::string::npos) << run.err;
}

TEST(VorelMonitor, Follow_OverSeconds_WritesEveryRecordFromWhereItStarted) {
  // A ring of 2 s followed for 3 s: the monitor keeps up across its wraps.
  auto writer = rec::createRecorder(1024);
  vorel_test::PacedWriter paced(*writer, ~0ull);
  const std::string file = testing::TempDir() + "vorel_monitor_follow.csv";
  std::filesystem::remove(file);
  vorel_test::PeerProcess monitor(monitorArgs({"--follow", file}));
  ASSERT_TRUE(vorel_test::pollUntil(
      [&] { return std::filesystem::exists(file) && std::filesystem::file_size(file) > 0; }));
  const std::uint64_t start = paced.written();
  ASSERT_TRUE(vorel_test::pollUntil([&] { return paced.written() >= start + 1500; }));
  paced.stop();
  const std::uint64_t last = paced.written() - 1;
  ::kill(monitor.pid(), SIGINT);
  const vorel_test::PeerExit exit = monitor.finish();
  ASSERT_TRUE(exit.exited);
  EXPECT_EQ(exit.status, 0) << monitor.errors();

  // "following VorelForceControlRecorder from record K into FILE"
  const std::string& err = monitor.errors();
  const std::string marker = "from record ";
  const std::size_t at = err.find(marker);
  ASSERT_NE(at, std::string::npos) << err;
  const std::uint64_t first = std::stoull(err.substr(at + marker.size()));
  EXPECT_LE(first, start);
  std::ifstream in(file);
  std::vector<std::string> rows;
  for (std::string line; std::getline(in, line);)
    rows.push_back(line);
  ASSERT_EQ(rows.size(), 1 + last - first + 1);
  for (std::size_t i = 1; i < rows.size(); ++i)
    ASSERT_EQ(csvColumn(rows[i], kCycleColumn), std::to_string(first + i - 1)) << "row " << i;
  EXPECT_NE(err.find(std::to_string(last - first + 1) + " records written to " + file + ", 0 lost"),
            std::string::npos)
      << err;
  std::filesystem::remove(file);
}

}  // namespace
