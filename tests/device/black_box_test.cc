// The black-box writer on a real ring fed by a writer thread at the
// controller's pace: the file around an event (10 s before, 1 s after, one
// row per cycle), several events in one window, the files kept, a directory
// it cannot write and a ring that stops. Then the device's black box: its
// configuration element, and files asked for by robot-program functions on
// real workers at the controller's pace.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "comm/force_control_csv.h"
#include "device/black_box.h"
#include "device/black_box_config.h"
#include "tests/device/emulated_device_fixture.h"
#include "tests/support/console_capture.h"
#include "tests/support/csv_column.h"
#include "tests/support/poll_until.h"
#include "tests/support/recorder_feed.h"

namespace {

namespace fs = std::filesystem;
namespace rec = vorel_device::recorder;
using vorel_device::BlackBox;
using vorel_device::ForceControlRecord;
using vorel_device::VorelFTSensor;

// The files in `dir`, by name.
std::vector<std::string> files(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> lines(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

using vorel_test::csvColumn;

class BlackBoxTest : public ::testing::Test {
 protected:
  BlackBoxTest() {
    char pattern[] = "/tmp/black_box_test.XXXXXX";
    dir_ = ::mkdtemp(pattern);
    Failure failure;
    std::string message;
    writer_ = rec::createRecorder();
    ring_ = rec::RecorderReader::attach(failure, message);
  }
  ~BlackBoxTest() override { fs::remove_all(dir_); }
  using Failure = rec::RecorderReader::Failure;

  fs::path dir_;
  std::unique_ptr<rec::RecorderWriter> writer_;
  std::shared_ptr<const rec::RecorderReader> ring_;
  vorel_test::ConsoleCapture console_;
};

// Column numbers in the header.
constexpr int kTimeColumn = 0;
constexpr int kRawFzColumn = 3;
constexpr int kCycleColumn = 28;
constexpr int kEventsColumn = 48;

TEST_F(BlackBoxTest, Write_StaleThenLimitInOneWindow_OneFileWithTenSecondsBeforeAndOneAfter) {
  // Two files of an earlier run (the older goes: two are kept) and a file
  // that is not the black box's.
  fs::create_directories(dir_ / "box");
  for (const char* name : {"vorel-blackbox-20000101-000000.000-stale.csv",
                           "vorel-blackbox-20000101-000001.000-limit.csv", "notes.txt"})
    std::ofstream(dir_ / "box" / name) << "x\n";
  BlackBox::Settings settings;
  settings.directory = (dir_ / "box").string();
  settings.max_files = 2;
  settings.liveness = false;  // a stalled test thread is no event here
  BlackBox box(ring_, settings);
  ASSERT_TRUE(box.start());
  // 12 s of history at once, then the controller's pace; the stale trip at
  // 12 s, a limit that starts to bind 0.2 s later.
  vorel_test::PacedWriter paced(
      *writer_, ~0ull,
      [](std::uint64_t c) {
        return c == 6000   ? ForceControlRecord::kStaleTrip
               : c == 6100 ? ForceControlRecord::kLimitBinds
                           : 0u;
      },
      6000);
  ASSERT_TRUE(vorel_test::pollUntil([&] { return box.filesWritten() == 1; }));
  box.stop();
  paced.stop();

  const std::vector<std::string> names = files(dir_ / "box");
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], "notes.txt");
  EXPECT_EQ(names[1], "vorel-blackbox-20000101-000001.000-limit.csv");
  // vorel-blackbox-YYYYMMDD-HHMMSS.mmm-stale.csv
  const std::string& name = names[2];
  ASSERT_EQ(name.size(), std::string("vorel-blackbox-20261207-183012.345-stale.csv").size());
  EXPECT_EQ(name.substr(0, 15), "vorel-blackbox-");
  EXPECT_EQ(name.substr(name.size() - 10), "-stale.csv");
  for (std::size_t i : {15, 16, 17, 18, 19, 20, 21, 22, 24, 25, 26, 27, 28, 29, 31, 32, 33})
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(name[i]))) << name;
  EXPECT_EQ(name[23], '-');
  EXPECT_EQ(name[30], '.');

  const std::vector<std::string> rows = lines(dir_ / "box" / name);
  ASSERT_EQ(rows.size(), 1u + 5001u + 500u);
  EXPECT_EQ(rows[0], rec::csvHeader());
  EXPECT_EQ(csvColumn(rows[0], kCycleColumn), "cycle");
  EXPECT_EQ(csvColumn(rows[0], kEventsColumn), "events");
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const std::uint64_t cycle = 1000 + i - 1;  // the event's cycle 6000 - 5000 .. + 500
    ASSERT_EQ(csvColumn(rows[i], kCycleColumn), std::to_string(cycle)) << "row " << i;
    const std::string events = cycle == 6000 ? "1" : cycle == 6100 ? "4" : "0";
    ASSERT_EQ(csvColumn(rows[i], kEventsColumn), events) << "row " << i;
  }
  // Controller time and raw fz (cycle + 0.25 N) as the records gave them.
  EXPECT_EQ(csvColumn(rows[1], kTimeColumn), "2.000");
  EXPECT_EQ(csvColumn(rows[5002], kTimeColumn), "12.002");
  EXPECT_EQ(csvColumn(rows[5002], kRawFzColumn), "6001.25");
  EXPECT_EQ(csvColumn(rows.back(), kTimeColumn), "13.000");

  EXPECT_EQ(console_.lines(),
            std::vector<std::string>{"[INFO] Black box: wrote " + (dir_ / "box" / name).string() +
                                     " (stale at t=12.000 s, cycle 6000; 5501 cycles from "
                                     "t=2.000 s to t=13.000 s; also in this window: limit)"});
}

TEST_F(BlackBoxTest, Write_UnwritableDirectoryThenRingStops_OneErrorLineThenALivenessFile) {
  // A directory below a regular file cannot be created, not even by root.
  std::ofstream(dir_ / "file") << "x\n";
  BlackBox::Settings settings;
  settings.directory = (dir_ / "file" / "box").string();
  BlackBox box(ring_, settings);
  ASSERT_TRUE(box.start());
  // Two requests in separate windows: two failures in one episode.
  vorel_test::PacedWriter paced(
      *writer_, ~0ull,
      [](std::uint64_t c) {
        return c == 150   ? ForceControlRecord::kRequest
               : c == 700 ? ForceControlRecord::kCycleFailure
                          : 0u;
      },
      100);
  ASSERT_TRUE(vorel_test::pollUntil([&] { return box.writeFailures() == 2; }));
  EXPECT_EQ(console_.lines(),
            std::vector<std::string>{"[ERROR] Black box: cannot write " + settings.directory +
                                     ": Not a directory; force control goes on"});
  EXPECT_GT(paced.written(), 1200u);  // the ring's writer went on

  // The directory can be made now; the ring stops advancing.
  fs::remove(dir_ / "file");
  console_.clear();
  paced.stop();
  const std::uint64_t written = paced.written();
  ASSERT_TRUE(vorel_test::pollUntil([&] { return box.filesWritten() == 1; }));
  box.stop();
  const std::vector<std::string> names = files(settings.directory);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].substr(names[0].size() - 13), "-liveness.csv");
  // Everything up to the last record (less than 10 s of them).
  const std::vector<std::string> rows = lines(fs::path(settings.directory) / names[0]);
  ASSERT_EQ(rows.size(), 1u + written);
  EXPECT_EQ(csvColumn(rows.back(), kCycleColumn), std::to_string(written - 1));
  char last_time[32];
  std::snprintf(last_time, sizeof last_time, "%.3f", (written - 1) * 0.002);
  EXPECT_EQ(console_.lines(), std::vector<std::string>{
                                  "[INFO] Black box: wrote " + settings.directory + "/" + names[0] +
                                  " (the recorder stopped at t=" + last_time + " s, cycle " +
                                  std::to_string(written - 1) + "; " + std::to_string(written) +
                                  " cycles from t=0.000 s to t=" + last_time + " s)"});
}

// --- The device's black box --------------------------------------------------------

struct ConfigRow {
  const char* name;
  const char* xml;  // inside <device>
  const char* directory;
  std::size_t keep;
  std::vector<std::string> problems;
};

class BlackBoxConfigTest : public ::testing::TestWithParam<ConfigRow> {};

TEST_P(BlackBoxConfigTest, Read_Element_SettingsOrDefaultsWithTheProblem) {
  const ConfigRow& row = GetParam();
  const vorel_device::BlackBoxConfig config =
      vorel_device::BlackBoxConfig::read(vorel_device_test::deviceConfig(row.xml));
  EXPECT_EQ(config.settings.directory, row.directory);
  EXPECT_EQ(config.settings.max_files, row.keep);
  EXPECT_EQ(config.problems, row.problems);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BlackBoxConfigTest,
    ::testing::Values(
        ConfigRow{"Absent", "<blackbox></blackbox>", "vorel-blackbox", 20, {}},
        ConfigRow{"Both",
                  "<blackbox><directory> /var/log/box </directory><keep>0</keep></blackbox>",
                  "/var/log/box",
                  0,
                  {}},
        ConfigRow{"KeepAtItsMaximum",
                  "<blackbox><keep>1000</keep></blackbox>",
                  "vorel-blackbox",
                  1000,
                  {}},
        ConfigRow{"BadValues",
                  "<blackbox><directory/><keep>2.5</keep><keep>-1</keep><keep>1001</keep>"
                  "<colour>red</colour></blackbox>",
                  "vorel-blackbox",
                  20,
                  {"<blackbox><directory> is empty; the black box writes to \"vorel-blackbox\"",
                   "<blackbox><keep> \"2.5\" is not a whole number from 0 to 1000; the black box "
                   "keeps 20 files",
                   "<blackbox><keep> \"-1\" is not a whole number from 0 to 1000; the black box "
                   "keeps 20 files",
                   "<blackbox><keep> \"1001\" is not a whole number from 0 to 1000; the black box "
                   "keeps 20 files",
                   "<blackbox> has an unknown element <colour> (known: <directory>, <keep>); it is "
                   "ignored"}}),
    [](const testing::TestParamInfo<ConfigRow>& info) { return std::string(info.param.name); });

// The device on the sensor emulator with the controller at its 2 ms pace and
// the black box writing into a directory of the test's.
class BlackBoxDeviceTest : public vorel_device_test::EmulatedDeviceTest {
 protected:
  BlackBoxDeviceTest() {
    char pattern[] = "/tmp/black_box_device_test.XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  ~BlackBoxDeviceTest() override { fs::remove_all(dir_); }

  void start(const std::string& blackbox) {
    using namespace vorel_device_test;
    ASSERT_TRUE(emulator.start());
    device = boost::make_shared<VorelFTSensor>(
        controller.program(),
        deviceConfig(activationXml(emulator.slavePath(), "500") + mountingXml() + blackbox));
    controller->setFreeRunning(true, std::chrono::microseconds(2000));
    ASSERT_NO_FATAL_FAILURE(activateAndBind());
    ASSERT_TRUE(vorel_device_test::awaitFramesPublishedAbove(0));
  }

  // The file of `event` once it is there, and its INFO line.
  fs::path awaitFile(const std::string& event) {
    fs::path found;
    vorel_test::pollUntil([&] {
      std::error_code ec;
      for (fs::directory_iterator it(dir_ / "box", ec), end; !ec && it != end; ++it) {
        const std::string name = it->path().filename().string();
        if (name.size() > event.size() + 5 &&
            name.compare(name.size() - event.size() - 5, std::string::npos, "-" + event + ".csv") ==
                0)
          found = it->path();
      }
      return !found.empty();
    });
    return found;
  }

  fs::path dir_;
};

// Each file: every cycle from activation (less than 10 s ago) to 1 s after
// the event's record, which alone has the event's bit.
void expectWindow(const fs::path& file, int event) {
  const std::vector<std::string> rows = lines(file);
  ASSERT_GT(rows.size(), 502u);
  EXPECT_EQ(rows[0], rec::csvHeader());
  std::vector<std::size_t> marked;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(csvColumn(rows[i], kCycleColumn), std::to_string(i - 1)) << file;
    if (std::stoi(csvColumn(rows[i], kEventsColumn)) & event)
      marked.push_back(i);
  }
  EXPECT_EQ(marked, std::vector<std::size_t>{rows.size() - 1 - 500}) << file;
}

TEST_F(BlackBoxDeviceTest, Files_RequestThenTerminationWhileOn_AFileEachAndNoneWhenDeactivated) {
  ASSERT_NO_FATAL_FAILURE(start("<blackbox><directory>" + (dir_ / "box").string() +
                                "</directory><keep>5</keep><colour>red</colour></blackbox>"));
  const std::vector<std::string> activation = console.lines();
  EXPECT_NE(std::find(activation.begin(), activation.end(),
                      "[ERROR] Device configuration: <blackbox> has an unknown element <colour> "
                      "(known: <directory>, <keep>); it is ignored"),
            activation.end());
  console.clear();
  ASSERT_TRUE(device->writeBlackBox().ok());
  const fs::path request = awaitFile("request");
  ASSERT_FALSE(request.empty());
  expectWindow(request, ForceControlRecord::kRequest);
  ASSERT_TRUE(console.awaitWrites(1));
  EXPECT_EQ(console.lines()[0].rfind(
                "[INFO] Black box: wrote " + request.string() + " (request at t=", 0),
            0u)
      << console.lines()[0];

  ASSERT_TRUE(device->setEnabledAxes(false, false, true, false, false, false).ok());
  ASSERT_TRUE(device->activateForceControl(true, false).ok());
  ASSERT_TRUE(controller->awaitDriveCommands(controller->driveCommandCount() + 5));
  device->onProgramTerminated(hx4_signal::ProgramTerminated{1});
  const fs::path terminated = awaitFile("terminated");
  ASSERT_FALSE(terminated.empty());
  expectWindow(terminated, ForceControlRecord::kProgramTerminated);

  // The black box stops before force control does: no liveness file.
  vorel_device_test::retire(*device, controller);
  EXPECT_EQ(files(dir_ / "box"), (std::vector<std::string>{request.filename().string(),
                                                           terminated.filename().string()}));
}

TEST_F(BlackBoxDeviceTest, Files_DirectoryUnwritable_OneErrorLineAndForceControlGoesOn) {
  std::ofstream(dir_ / "file") << "x\n";
  const std::string box = (dir_ / "file" / "box").string();
  ASSERT_NO_FATAL_FAILURE(start("<blackbox><directory>" + box + "</directory></blackbox>"));
  ASSERT_TRUE(device->setEnabledAxes(false, false, true, false, false, false).ok());
  ASSERT_TRUE(device->activateForceControl(true, false).ok());
  console.clear();
  ASSERT_TRUE(device->writeBlackBox().ok());
  ASSERT_TRUE(console.awaitWrites(1));
  const std::size_t commands = controller->driveCommandCount();
  EXPECT_EQ(console.lines(), std::vector<std::string>{"[ERROR] Black box: cannot write " + box +
                                                      ": Not a directory; force control goes on"});
  EXPECT_TRUE(controller->awaitDriveCommands(commands + 250));
}

}  // namespace
