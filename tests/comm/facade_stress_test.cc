// Readouts under contention: a writer (playing the force-control thread and
// the reader) keeps replacing the wrenches and the frame, a bias thread keeps
// moving the offsets, the facade's own thread copies the frame, and reader
// threads check that every readout belongs to one written state, never to
// half of one. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "comm/VorelForceTorqueSensorComm.h"
#include "comm/VorelForceTorqueSensorSecondaryInstance.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_device::ftBias;
using vorel_device::RxFrame;
using vorel_device::VorelForceTorqueSensorComm;
using vorel_device::VorelForceTorqueSensorSecondaryInstance;
using vorel_device::Wrench;
using vorel_test::SegmentView;

constexpr int kWrites = 3000;
constexpr int kBiasSteps = 1000;
constexpr int kReaders = 3;

// Every written state has all six wrench components equal (k) and every bias
// step adds 1 to all three components of one half, so within each half of a
// readout the three values must agree.
bool halvesConsistent(const double (&v)[6]) {
  return v[0] == v[1] && v[1] == v[2] && v[3] == v[4] && v[4] == v[5];
}

TEST(FacadeStress, ReadoutsWhileWritersRun_NeverSeeHalfWrittenState) {
  vorel_test::removeNames();
  VorelForceTorqueSensorComm reader(5);
  VorelForceTorqueSensorSecondaryInstance facade(10);
  ASSERT_TRUE(facade.start(1000));

  std::atomic<bool> writers_done{false};
  std::atomic<int> inconsistent{0};
  std::atomic<long> readouts{0};

  std::thread writer([&] {
    SegmentView view;  // its own handles, as the force-control thread has
    for (int k = 1; k <= kWrites; ++k) {
      const double v = static_cast<double>(k);
      const Wrench w{{v, v, v, v, v, v}};
      RxFrame frame{};
      frame.header = RxFrame::kHeader;
      for (int i = 0; i < 6; ++i)
        frame.ft_data[i] = static_cast<float>(k);
      ss::Lock lock(view.mutex());
      *ss::find<Wrench>(view.segment(), ss::kTcpTransformedWrench) = w;
      *ss::find<Wrench>(view.segment(), ss::kGravityCompensatedWrench) = w;
      *ss::find<Wrench>(view.segment(), ss::kTcpFilteredWrench) = w;
      *ss::find<RxFrame>(view.segment(), ss::kFrame) = frame;
    }
  });

  std::thread biaser([&] {
    double one[3] = {1.0, 1.0, 1.0};
    for (int n = 0; n < kBiasSteps; ++n) {
      facade.setForceBias(one);
      facade.setTorqueBias(one);
    }
  });

  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      long count = 0;
      // At least a few hundred rounds, and on until both writers are done.
      while (count < 300 || !writers_done.load()) {
        double out[6];
        facade.getTCPFrameFTData(out);
        if (!halvesConsistent(out))
          ++inconsistent;
        facade.getGravityCompensatedFTData(out);
        if (!halvesConsistent(out))
          ++inconsistent;
        facade.getTCPFrameFilteredFTData(out);
        if (!halvesConsistent(out) || out[0] != out[3])
          ++inconsistent;
        facade.getRawFTData(out);
        if (!halvesConsistent(out))
          ++inconsistent;
        double force_norm = 0.0;
        facade.getForceNorm(force_norm);
        ++count;
      }
      readouts += count;
    });
  }

  writer.join();
  biaser.join();
  writers_done = true;
  for (std::thread& t : readers)
    t.join();
  EXPECT_TRUE(facade.stop(1000));

  EXPECT_EQ(inconsistent.load(), 0);
  EXPECT_GE(readouts.load(), 300L * kReaders);
  SegmentView view;
  const ftBias offset = view.read<ftBias>(ss::kWrenchOffset);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(offset[i], static_cast<double>(kBiasSteps)) << "no bias step lost, component " << i;

  // After the writers: the last state minus all offsets, in every readout.
  double out[6];
  facade.getTCPFrameFTData(out);
  EXPECT_EQ(out[0], kWrites - kBiasSteps);
  EXPECT_EQ(out[5], kWrites - kBiasSteps);
  facade.cycleMethod();
  facade.getRawFTData(out);
  EXPECT_EQ(out[3], kWrites - kBiasSteps);
}

}  // namespace
