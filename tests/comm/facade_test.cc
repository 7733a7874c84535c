// The command facade on a real segment created by a real reader. The test
// plays the force-control thread through its own open-only view: it writes the
// processed wrenches and reads back what the facade stored.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "comm/command_facade.h"
#include "comm/sensor_reader.h"
#include "tests/support/console_capture.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_device::ftBias;
using vorel_device::RxFrame;
using vorel_device::Wrench;
using Facade = vorel_device::VorelForceTorqueSensorSecondaryInstance;

template <std::size_t N>
std::vector<double> vec(const double (&v)[N]) {
  return std::vector<double>(v, v + N);
}

class FacadeTest : public testing::Test {
 protected:
  vorel_device::VorelForceTorqueSensorComm reader{5};
  vorel_test::SegmentView view;
  Facade facade{10};
};

TEST_F(FacadeTest, BiasesAccumulate_ReadoutsSubtractThemExceptFiltered) {
  double torque[3] = {7.0, 8.0, 9.0};
  double force[3] = {1.0, 2.0, 3.0};
  ASSERT_TRUE(facade.setTorqueBias(torque));
  ASSERT_TRUE(facade.setForceBias(force));
  ASSERT_TRUE(facade.setForceBias(force));
  EXPECT_EQ(vec(view.read<ftBias>(ss::kWrenchOffset).data),
            (std::vector<double>{2.0, 4.0, 6.0, 7.0, 8.0, 9.0}));

  view.write(ss::kTcpTransformedWrench, Wrench{{5.0, 8.0, 6.0, 9.0, 11.0, 15.0}});
  view.write(ss::kGravityCompensatedWrench, Wrench{{20.0, 20.0, 20.0, 20.0, 20.0, 20.0}});
  const Wrench filtered{{0.5, 0.25, -0.5, 0.125, 0.0, 1.0}};
  view.write(ss::kTcpFilteredWrench, filtered);
  RxFrame frame{};
  frame.status = 0x0004;  // taken whatever the status
  const float ft[6] = {1.5f, -2.0f, 3.25f, 0.5f, -0.75f, 8.0f};
  for (int i = 0; i < 6; ++i)
    frame.ft_data[i] = ft[i];
  view.write(ss::kFrame, frame);

  double out[6];
  double norm = 0.0;
  ASSERT_TRUE(facade.getTCPFrameFTData(out));
  EXPECT_EQ(vec(out), (std::vector<double>{3.0, 4.0, 0.0, 2.0, 3.0, 6.0}));
  ASSERT_TRUE(facade.getForceNorm(norm));
  EXPECT_EQ(norm, 5.0);
  ASSERT_TRUE(facade.getTorqueNorm(norm));
  EXPECT_EQ(norm, 7.0);
  ASSERT_TRUE(facade.getGravityCompensatedFTData(out));
  EXPECT_EQ(vec(out), (std::vector<double>{18.0, 16.0, 14.0, 13.0, 12.0, 11.0}));
  ASSERT_TRUE(facade.getTCPFrameFilteredFTData(out));
  EXPECT_EQ(vec(out), vec(filtered.data));
  ASSERT_TRUE(facade.getRawFTData(out));  // no cycle yet: the zero frame
  EXPECT_EQ(vec(out), (std::vector<double>{-2.0, -4.0, -6.0, -7.0, -8.0, -9.0}));
  facade.cycleMethod();
  ASSERT_TRUE(facade.getRawFTData(out));
  EXPECT_EQ(vec(out), (std::vector<double>{-0.5, -6.0, -2.75, -6.5, -8.75, -1.0}));
}

// The force-control side may rewrite "wrench_offset": readouts and later
// biases work on the shared value, not on a stale copy.
TEST_F(FacadeTest, OffsetChangedInSegment_ReadoutsAndBiasesUseIt) {
  view.write(ss::kWrenchOffset, ftBias{{1.0, 1.0, 1.0, 1.0, 1.0, 1.0}});
  view.write(ss::kTcpTransformedWrench, Wrench{{5.0, 5.0, 5.0, 5.0, 5.0, 5.0}});
  double out[6];
  facade.getTCPFrameFTData(out);
  EXPECT_EQ(vec(out), (std::vector<double>{4.0, 4.0, 4.0, 4.0, 4.0, 4.0}));
  double force[3] = {1.0, 1.0, 1.0};
  facade.setForceBias(force);
  EXPECT_EQ(vec(view.read<ftBias>(ss::kWrenchOffset).data),
            (std::vector<double>{2.0, 2.0, 2.0, 1.0, 1.0, 1.0}));
}

// Every operation holds the named mutex: while another holder keeps it, each
// times out, changes nothing and says so on the host console.
TEST_F(FacadeTest, MutexHeldElsewhere_OperationsFailAndChangeNothing) {
  view.write(ss::kTcpTransformedWrench, Wrench{{1.0, 1.0, 1.0, 1.0, 1.0, 1.0}});
  vorel_test::ConsoleCapture console;
  double bias[3] = {1.0, 1.0, 1.0};
  double out[6] = {9.0, 9.0, 9.0, 9.0, 9.0, 9.0};
  {
    ss::Lock holder(view.mutex());
    EXPECT_FALSE(facade.setForceBias(bias));
    EXPECT_FALSE(facade.activate(true, true));
    EXPECT_FALSE(facade.getTCPFrameFTData(out));
  }
  EXPECT_EQ(vec(out), (std::vector<double>{9.0, 9.0, 9.0, 9.0, 9.0, 9.0}));
  EXPECT_EQ(view.read<ftBias>(ss::kWrenchOffset)[0], 0.0);
  EXPECT_FALSE(view.read<bool>(ss::kActivateTranslation));
  ASSERT_EQ(console.lines().size(), 3u);
  EXPECT_EQ(console.lines()[0],
            "[ERROR] setForceBias: VorelNamedMutex not acquired within 100 ms; nothing was done");
  // The facade's own bias copy was not moved either.
  ASSERT_TRUE(facade.setForceBias(bias));
  EXPECT_EQ(view.read<ftBias>(ss::kWrenchOffset)[0], 1.0);
}

}  // namespace
