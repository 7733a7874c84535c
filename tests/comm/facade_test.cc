// The command facade on a real segment created by a real reader. The test
// plays the force-control thread through its own open-only view: it writes the
// processed wrenches and reads back the commands the facade stored.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "comm/VorelForceTorqueSensorComm.h"
#include "comm/VorelForceTorqueSensorSecondaryInstance.h"
#include "host/program_values.h"
#include "tests/support/poll_until.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_device::FilterOptions;
using vorel_device::ftBias;
using vorel_device::Gains;
using vorel_device::RxFrame;
using vorel_device::SystemFilterParams;
using vorel_device::VorelForceTorqueSensorComm;
using vorel_device::VorelForceTorqueSensorSecondaryInstance;
using vorel_device::Wrench;
using vorel_test::SegmentView;
using Facade = VorelForceTorqueSensorSecondaryInstance;

class FacadeOnSegment : public testing::Test {
 protected:
  void SetUp() override {
    vorel_test::removeNames();
    reader = std::make_unique<VorelForceTorqueSensorComm>(5);
    view = std::make_unique<SegmentView>();
    facade = std::make_unique<Facade>(10);
  }
  void TearDown() override {
    facade.reset();
    view.reset();
    reader.reset();
  }

  std::unique_ptr<VorelForceTorqueSensorComm> reader;
  std::unique_ptr<SegmentView> view;
  std::unique_ptr<Facade> facade;
};

void expectValues(const double (&out)[6], const double (&expected)[6]) {
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(out[i], expected[i]) << "component " << i;
}

TEST_F(FacadeOnSegment, GetTCPFrameFTData_NoBias_ReturnsSharedWrenchExactly) {
  const Wrench tcp{{0.1, -2500.0, 1e-9, 7.25, -0.3, 12345.678}};
  view->write(ss::kTcpTransformedWrench, tcp);
  double out[6];
  facade->getTCPFrameFTData(out);
  expectValues(out, tcp.data);
}

TEST_F(FacadeOnSegment, SetForceBias_TwiceOneTwoThree_ForceHalfTwoFourSixTorqueKept) {
  double torque[3] = {7.0, 8.0, 9.0};
  facade->setTorqueBias(torque);
  double force[3] = {1.0, 2.0, 3.0};
  facade->setForceBias(force);
  facade->setForceBias(force);

  const ftBias offset = view->read<ftBias>(ss::kWrenchOffset);
  const double expected[6] = {2.0, 4.0, 6.0, 7.0, 8.0, 9.0};
  expectValues(offset.data, expected);

  view->write(ss::kTcpTransformedWrench, Wrench{{10.0, 10.0, 10.0, 10.0, 10.0, 10.0}});
  view->write(ss::kGravityCompensatedWrench, Wrench{{20.0, 20.0, 20.0, 20.0, 20.0, 20.0}});
  double out[6];
  facade->getTCPFrameFTData(out);
  const double tcp_expected[6] = {8.0, 6.0, 4.0, 3.0, 2.0, 1.0};
  expectValues(out, tcp_expected);
  facade->getGravityCompensatedFTData(out);
  const double gravity_expected[6] = {18.0, 16.0, 14.0, 13.0, 12.0, 11.0};
  expectValues(out, gravity_expected);
}

TEST_F(FacadeOnSegment, Tare_TcpReadoutPassedAsBias_ZeroesTcpReadoutNotFiltered) {
  const Wrench filtered{{0.5, 0.25, -0.5, 0.125, 0.0, 1.0}};
  view->write(ss::kTcpTransformedWrench, Wrench{{3.5, -12.25, 40.0, 0.75, -1.5, 2.0}});
  view->write(ss::kTcpFilteredWrench, filtered);

  double r[6];
  facade->getTCPFrameFTData(r);
  facade->setForceBias(r);
  facade->setTorqueBias(r + 3);

  double out[6];
  facade->getTCPFrameFTData(out);
  const double zeros[6] = {0, 0, 0, 0, 0, 0};
  expectValues(out, zeros);
  facade->getTCPFrameFilteredFTData(out);
  expectValues(out, filtered.data);
}

TEST_F(FacadeOnSegment, Tare_GravityReadoutOverEarlierBias_ZeroesGravityReadout) {
  view->write(ss::kGravityCompensatedWrench, Wrench{{-6.5, 2.25, 9.75, 0.5, -0.25, 3.0}});
  double earlier[3] = {1.0, -2.0, 0.5};
  facade->setForceBias(earlier);

  double r[6];
  facade->getGravityCompensatedFTData(r);
  const double expected_r[6] = {-7.5, 4.25, 9.25, 0.5, -0.25, 3.0};
  expectValues(r, expected_r);
  facade->setForceBias(r);
  facade->setTorqueBias(r + 3);

  double out[6];
  facade->getGravityCompensatedFTData(out);
  const double zeros[6] = {0, 0, 0, 0, 0, 0};
  expectValues(out, zeros);
}

TEST_F(FacadeOnSegment, Readout_OffsetChangedInSegment_RefreshesFacadeCopy) {
  // Readouts refresh the facade's copy of "wrench_offset"; a later bias
  // accumulates on the refreshed copy.
  view->write(ss::kWrenchOffset, ftBias{{1.0, 1.0, 1.0, 1.0, 1.0, 1.0}});
  view->write(ss::kTcpTransformedWrench, Wrench{{5.0, 5.0, 5.0, 5.0, 5.0, 5.0}});
  double out[6];
  facade->getTCPFrameFTData(out);
  const double expected[6] = {4.0, 4.0, 4.0, 4.0, 4.0, 4.0};
  expectValues(out, expected);
  double force[3] = {1.0, 1.0, 1.0};
  facade->setForceBias(force);
  EXPECT_EQ(view->read<ftBias>(ss::kWrenchOffset)[0], 2.0);
  EXPECT_EQ(view->read<ftBias>(ss::kWrenchOffset)[3], 1.0);
}

TEST_F(FacadeOnSegment, Commands_StoredUnchangedInNamedObjects) {
  facade->activate(true, false);
  EXPECT_TRUE(view->read<bool>(ss::kActivateTranslation));
  EXPECT_FALSE(view->read<bool>(ss::kActivateRotation));
  facade->activate(false, true);
  EXPECT_FALSE(view->read<bool>(ss::kActivateTranslation));
  EXPECT_TRUE(view->read<bool>(ss::kActivateRotation));

  facade->resetFilters();
  EXPECT_TRUE(view->read<bool>(ss::kResetFilterHistory));

  facade->setEnabledAxes(true, false, true, false, false, true);
  EXPECT_EQ(view->read<ss::EnabledAxes>(ss::kEnabledAxes), (ss::EnabledAxes{1, 0, 1, 0, 0, 1}));

  facade->setForceControlGains(0.7, -0.9, 0.05);
  const Gains gains = view->read<Gains>(ss::kGains);
  EXPECT_EQ(gains.translation_gain, 0.7);
  EXPECT_EQ(gains.rotation_gain, -0.9);
  EXPECT_EQ(gains.track_smoothing, 0.05);

  facade->setEnabledSystemFilters(true);
  EXPECT_EQ(view->read<ss::EnabledSystemFilters>(ss::kEnabledSystemFilters)[0], 1);
  facade->setEnabledSystemFilters(false);
  EXPECT_EQ(view->read<ss::EnabledSystemFilters>(ss::kEnabledSystemFilters)[0], 0);

  facade->setSystemFilterParams(30.0, std::nan(""), -45.0);
  const SystemFilterParams params = view->read<SystemFilterParams>(ss::kSystemFilterParams);
  EXPECT_EQ(params.cutoff_frequency, 30.0);
  EXPECT_TRUE(std::isnan(params.rising_rate));
  EXPECT_EQ(params.falling_rate, -45.0);

  double force[3] = {1.0, 2.0, 3.0};
  double torque[3] = {4.0, 5.0, 6.0};
  facade->setForceTrackValue(force);
  facade->setTorqueTrackValue(torque);
  const double both[6] = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
  expectValues(view->read<Wrench>(ss::kTrackWrench).data, both);
  double none[3] = {0.0, 0.0, 0.0};
  facade->setForceTrackValue(none);
  const double torque_only[6] = {0.0, 0.0, 0.0, 4.0, 5.0, 6.0};
  expectValues(view->read<Wrench>(ss::kTrackWrench).data, torque_only);
}

TEST_F(FacadeOnSegment, Norms_OffsetsSubtracted_EuclideanOfEachHalf) {
  view->write(ss::kTcpTransformedWrench, Wrench{{4.0, 6.0, 0.5, 2.0, -3.0, 6.0}});
  double force_bias[3] = {1.0, 2.0, 0.5};
  facade->setForceBias(force_bias);
  double norm = -1.0;
  facade->getForceNorm(norm);
  EXPECT_EQ(norm, 5.0);  // (3, 4, 0)
  facade->getTorqueNorm(norm);
  EXPECT_EQ(norm, 7.0);  // (2, -3, 6)
}

TEST_F(FacadeOnSegment, AddOrRemoveFilter_SlotFull_SecondWaitsAndTravelsOnlyAfterTake) {
  FilterOptions notch;
  const std::string forty = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN";
  ASSERT_EQ(forty.size(), FilterOptions::kNameSize);
  std::memcpy(notch.name, forty.data(), FilterOptions::kNameSize);  // no NUL
  notch.type = vorel_device::kNotchFilter;
  notch.reject_frequency = 50.0;
  notch.bandwidth = 5.0;
  facade->addOrRemoveFilter(notch, Facade::kAddFilter);

  FilterOptions stored = view->read<FilterOptions>(ss::kTempFilterOptions);
  EXPECT_EQ(std::string(stored.name, FilterOptions::kNameSize), forty);
  EXPECT_EQ(stored.type, vorel_device::kNotchFilter);
  EXPECT_EQ(stored.reject_frequency, 50.0);
  EXPECT_EQ(stored.bandwidth, 5.0);
  EXPECT_EQ(view->read<std::int32_t>(ss::kNewFilterFlag), 1);

  // The second request, before any take: "all" with bytes after its NUL that
  // must not travel. Nobody takes the first, so the second waits its bound
  // and is not sent: the first stays in the slot.
  FilterOptions remove_all;
  std::memcpy(remove_all.name, "all\0XYZ", 7);
  EXPECT_FALSE(facade->addOrRemoveFilter(remove_all, Facade::kRemoveFilter));
  stored = view->read<FilterOptions>(ss::kTempFilterOptions);
  EXPECT_EQ(std::string(stored.name, FilterOptions::kNameSize), forty);
  EXPECT_EQ(view->read<std::int32_t>(ss::kNewFilterFlag), 1);

  // Once the force-control side has taken the first (slot flag 0), the
  // second travels.
  view->write<std::int32_t>(ss::kNewFilterFlag, 0);
  EXPECT_TRUE(facade->addOrRemoveFilter(remove_all, Facade::kRemoveFilter));
  stored = view->read<FilterOptions>(ss::kTempFilterOptions);
  char expected_name[FilterOptions::kNameSize] = {'a', 'l', 'l'};
  EXPECT_EQ(std::memcmp(stored.name, expected_name, FilterOptions::kNameSize), 0);
  EXPECT_EQ(stored.type, 0);
  EXPECT_EQ(stored.reject_frequency, -1.0);
  EXPECT_EQ(stored.bandwidth, -1.0);
  EXPECT_EQ(stored.cutoff_frequency, -1.0);
  EXPECT_EQ(stored.rising_rate, 0.0);
  EXPECT_EQ(stored.falling_rate, 0.0);
  EXPECT_EQ(view->read<std::int32_t>(ss::kNewFilterFlag), -1);
}

// Rz(yaw) * Ry(pitch) * Rx(roll) multiplied out from the three elementary
// rotations, row-major.
void rpyMatrix(double roll, double pitch, double yaw, double (&m)[9]) {
  const double rx[9] = {
      1, 0, 0, 0, std::cos(roll), -std::sin(roll), 0, std::sin(roll), std::cos(roll)};
  const double ry[9] = {std::cos(pitch),  0, std::sin(pitch), 0, 1, 0,
                        -std::sin(pitch), 0, std::cos(pitch)};
  const double rz[9] = {std::cos(yaw), -std::sin(yaw), 0, std::sin(yaw), std::cos(yaw), 0, 0, 0, 1};
  double zy[9];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      zy[3 * r + c] = 0;
      for (int k = 0; k < 3; ++k)
        zy[3 * r + c] += rz[3 * r + k] * ry[3 * k + c];
    }
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      m[3 * r + c] = 0;
      for (int k = 0; k < 3; ++k)
        m[3 * r + c] += zy[3 * r + k] * rx[3 * k + c];
    }
}

TEST_F(FacadeOnSegment, SetSensorFrame_PoseWithReference_StoresPoseOwnFrame) {
  using hx4_program_api::Position;
  using hx4_program_api::RobotPose;
  using RPY = hx4_program_api::Rotation::RPY;
  const RobotPose reference(Position(1.0, 0.0, 0.0), RPY(0.0, 0.0, 1.0));
  facade->setSensorFrame(RobotPose(Position(0.01, -0.02, 0.035), RPY(0.1, 0.2, 0.3), reference));

  const hx4rc_api::Frame stored = view->read<hx4rc_api::Frame>(ss::kSensorToTfcTransform);
  double values[12];
  std::memcpy(values, &stored, sizeof(values));
  double m[9];
  rpyMatrix(0.1, 0.2, 0.3, m);
  for (int i = 0; i < 9; ++i)
    EXPECT_NEAR(values[i], m[i], 1e-15) << "rotation element " << i;
  EXPECT_EQ(values[9], 0.01);
  EXPECT_EQ(values[10], -0.02);
  EXPECT_EQ(values[11], 0.035);

  // An empty pose converts to the all-NaN frame, stored as it is.
  facade->setSensorFrame(RobotPose());
  const hx4rc_api::Frame empty = view->read<hx4rc_api::Frame>(ss::kSensorToTfcTransform);
  std::memcpy(values, &empty, sizeof(values));
  for (double v : values)
    EXPECT_TRUE(std::isnan(v));
}

TEST_F(FacadeOnSegment, GetRawFTData_AfterCycle_FrameValuesWhateverStatusMinusOffsets) {
  RxFrame frame{};
  frame.header = RxFrame::kHeader;
  frame.status = 0x0004;
  const float ft[6] = {1.5f, -2.0f, 3.25f, 0.5f, -0.75f, 8.0f};
  for (int i = 0; i < 6; ++i)
    frame.ft_data[i] = ft[i];
  view->write(ss::kFrame, frame);

  double out[6];
  facade->getRawFTData(out);  // no cycle yet: the zero frame
  const double zeros[6] = {0, 0, 0, 0, 0, 0};
  expectValues(out, zeros);

  facade->cycleMethod();
  facade->getRawFTData(out);
  const double values[6] = {1.5, -2.0, 3.25, 0.5, -0.75, 8.0};
  expectValues(out, values);

  double bias[3] = {0.5, 0.5, 0.5};
  facade->setTorqueBias(bias);
  facade->getRawFTData(out);
  const double biased[6] = {1.5, -2.0, 3.25, 0.0, -1.25, 7.5};
  expectValues(out, biased);
}

TEST_F(FacadeOnSegment, Thread_Started_PrintsStartLineAndCopiesFrame) {
  testing::internal::CaptureStdout();
  const bool started = facade->start(1000);
  RxFrame frame{};
  frame.header = RxFrame::kHeader;
  frame.ft_data[2] = -9.5f;
  view->write(ss::kFrame, frame);
  const bool copied = vorel_test::pollUntil([&] {
    double out[6];
    facade->getRawFTData(out);
    return out[2] == -9.5;
  });
  const bool stopped = facade->stop(1000);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(started);
  EXPECT_TRUE(copied);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(out, "Start the second instance.\n");
}

}  // namespace
