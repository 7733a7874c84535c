// Two real processes on one segment: the reader runs here over the sensor
// emulator and publishes frames; the command facade runs in a second process
// (comm_segment_peer facade), reads what this process wrote, and writes
// biases and commands that this process then reads.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "comm/sensor_reader.h"
#include "filters/filter_options.h"
#include "tests/comm/sensor_line.h"
#include "tests/support/peer_process.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_device::Wrench;

// "label v0 v1 ..." -> the values; empty when the label differs.
std::vector<double> valuesOf(const std::string& line, const std::string& label) {
  std::istringstream in(line);
  std::string word;
  std::vector<double> values;
  if (!(in >> word) || word != label)
    return values;
  for (double v; in >> v;)
    values.push_back(v);
  return values;
}

TEST(TwoProcesses, ReaderHereFacadeInPeer_EachReadsWhatTheOtherWrote) {
  vorel_test::EmulatorLine line;
  line.emulator.setWrench(Wrench{{1.5, -2.25, 10.0, 0.125, -0.5, 0.0625}});  // exact in float32
  vorel_device::VorelForceTorqueSensorComm reader(5);
  reader.setPort(line.port);
  vorel_test::SegmentView view;
  // What the force-control thread would have published.
  view.write(ss::kTcpTransformedWrench, Wrench{{5.0, 8.0, 6.0, 1.5, 1.25, 1.125}});

  ASSERT_TRUE(line.emulator.start());
  ASSERT_TRUE(reader.start(1000));
  const vorel_test::PeerRun peer = vorel_test::runPeer({VOREL_COMM_SEGMENT_PEER, "facade"});
  EXPECT_TRUE(reader.stop(1000));

  ASSERT_TRUE(peer.exit.exited) << "signal " << peer.exit.signal;
  ASSERT_EQ(peer.exit.status, 0) << peer.out << peer.err;
  const std::vector<std::string> lines = peer.lines();
  ASSERT_EQ(lines.size(), 5u) << peer.out;
  EXPECT_EQ(lines[0], "Start the second instance.");
  // The frame this process's reader published, copied by the peer's facade.
  EXPECT_EQ(valuesOf(lines[1], "raw"),
            (std::vector<double>{1.5, -2.25, 10.0, 0.125, -0.5, 0.0625}));
  EXPECT_EQ(valuesOf(lines[2], "tcp"), (std::vector<double>{5.0, 8.0, 6.0, 1.5, 1.25, 1.125}));
  EXPECT_EQ(valuesOf(lines[3], "tcp_after_bias"), (std::vector<double>{3, 4, 0, 1, 1, 1}));
  EXPECT_EQ(lines[4], "done");

  // What the peer wrote, read here: the force bias twice, accumulated.
  const vorel_device::ftBias offset = view.read<vorel_device::ftBias>(ss::kWrenchOffset);
  EXPECT_EQ(std::vector<double>(offset.data, offset.data + 6),
            (std::vector<double>{2.0, 4.0, 6.0, 0.5, 0.25, 0.125}));
  EXPECT_EQ(view.read<vorel_device::Gains>(ss::kGains).rotation_gain, 8.0);
  EXPECT_TRUE(view.read<bool>(ss::kActivateTranslation));
  EXPECT_FALSE(view.read<bool>(ss::kActivateRotation));
  EXPECT_STREQ(view.read<vorel_device::FilterOptions>(ss::kTempFilterOptions).name, "lp_z");
  EXPECT_EQ(view.read<std::int32_t>(ss::kNewFilterFlag), 1);

  // The peer's facade closed its handles; the reader still owns both names.
  EXPECT_TRUE(vorel_test::segmentNameExists());
  EXPECT_EQ(vorel_test::mutexCount(), 1);
}

}  // namespace
