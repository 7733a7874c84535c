// Two real processes on one segment: the reader runs here over the sensor
// emulator and publishes frames; the command facade runs in a second process
// (comm_segment_peer facade), reads what this process wrote, and writes
// biases and commands that this process then reads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "comm/VorelForceTorqueSensorComm.h"
#include "filters/filter_options.h"
#include "tests/comm/emulator_line.h"
#include "tests/comm/peer_process.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_device::FilterOptions;
using vorel_device::ftBias;
using vorel_device::Gains;
using vorel_device::SystemFilterParams;
using vorel_device::VorelForceTorqueSensorComm;
using vorel_device::Wrench;
using vorel_test::SegmentView;

// "label v0 v1 ..." -> the values; empty when the label differs.
std::vector<double> valuesOf(const std::string& line, const std::string& label) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  std::vector<double> values;
  if (word != label)
    return values;
  std::string number;
  while (in >> number)
    values.push_back(std::strtod(number.c_str(), nullptr));
  return values;
}

TEST(TwoProcesses, ReaderHereFacadeInPeer_EachReadsWhatTheOtherWrote) {
  vorel_test::removeNames();
  vorel_test::EmulatorLine line;
  const Wrench sensed{{1.5, -2.25, 10.0, 0.125, -0.5, 0.0625}};  // exact in float32
  line.emulator.setWrench(sensed);
  VorelForceTorqueSensorComm reader(5);
  int port = line.port;
  reader.setPort(port);
  SegmentView view;
  // What the force-control thread would have published.
  view.write(ss::kTcpTransformedWrench, Wrench{{5.0, 8.0, 6.0, 1.5, 1.25, 1.125}});

  ASSERT_TRUE(line.emulator.start());
  ASSERT_TRUE(reader.start(1000));
  const vorel_test::PeerResult peer = vorel_test::runPeer({"facade"});
  EXPECT_TRUE(reader.stop(1000));

  ASSERT_TRUE(peer.started);
  ASSERT_TRUE(peer.exited) << "signal " << peer.signal;
  ASSERT_EQ(peer.status, 0) << (peer.lines.empty() ? "" : peer.lines.back());
  ASSERT_EQ(peer.lines.size(), 6u);
  EXPECT_EQ(peer.lines[0], "Start the second instance.");
  // The frame this process's reader published, copied by the peer's facade.
  EXPECT_EQ(valuesOf(peer.lines[1], "raw"),
            (std::vector<double>{1.5, -2.25, 10.0, 0.125, -0.5, 0.0625}));
  EXPECT_EQ(valuesOf(peer.lines[2], "tcp"), (std::vector<double>{5.0, 8.0, 6.0, 1.5, 1.25, 1.125}));
  EXPECT_EQ(valuesOf(peer.lines[3], "tcp_after_bias"),
            (std::vector<double>{3.0, 4.0, 0.0, 1.0, 1.0, 1.0}));
  EXPECT_EQ(valuesOf(peer.lines[4], "force_norm"), (std::vector<double>{5.0}));
  EXPECT_EQ(peer.lines[5], "done");

  // What the peer wrote, read here.
  const ftBias offset = view.read<ftBias>(ss::kWrenchOffset);
  const double expected_offset[6] = {2.0, 4.0, 6.0, 0.5, 0.25, 0.125};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(offset[i], expected_offset[i]) << "offset " << i;
  const Gains gains = view.read<Gains>(ss::kGains);
  EXPECT_EQ(gains.translation_gain, 7.0);
  EXPECT_EQ(gains.rotation_gain, 8.0);
  EXPECT_EQ(gains.track_smoothing, 0.5);
  EXPECT_EQ(view.read<ss::EnabledAxes>(ss::kEnabledAxes), (ss::EnabledAxes{1, 0, 1, 0, 0, 1}));
  const Wrench track = view.read<Wrench>(ss::kTrackWrench);
  const double expected_track[6] = {10.0, 20.0, 30.0, 1.0, 2.0, 3.0};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(track[i], expected_track[i]) << "track " << i;
  EXPECT_TRUE(view.read<bool>(ss::kActivateTranslation));
  EXPECT_FALSE(view.read<bool>(ss::kActivateRotation));
  EXPECT_EQ(view.read<ss::EnabledSystemFilters>(ss::kEnabledSystemFilters)[0], 1);
  const SystemFilterParams params = view.read<SystemFilterParams>(ss::kSystemFilterParams);
  EXPECT_EQ(params.cutoff_frequency, 30.0);
  EXPECT_EQ(params.rising_rate, 40.0);
  EXPECT_EQ(params.falling_rate, -40.0);
  const FilterOptions options = view.read<FilterOptions>(ss::kTempFilterOptions);
  EXPECT_STREQ(options.name, "lp_z");
  EXPECT_EQ(options.type, vorel_device::kLowPassFilter);
  EXPECT_EQ(options.cutoff_frequency, 20.0);
  EXPECT_EQ(view.read<std::int32_t>(ss::kNewFilterFlag), 1);
  EXPECT_TRUE(view.read<bool>(ss::kResetFilterHistory));
  const hx4rc_api::Frame transform = view.read<hx4rc_api::Frame>(ss::kSensorToTfcTransform);
  double values[12];
  std::memcpy(values, &transform, sizeof(values));
  const double identity_and_position[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0.01, -0.02, 0.035};
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(values[i], identity_and_position[i]) << "transform " << i;

  // The peer's facade closed its handles; the reader still owns both names.
  EXPECT_TRUE(vorel_test::segmentNameExists());
  EXPECT_EQ(vorel_test::mutexCount(), 1);
}

}  // namespace
