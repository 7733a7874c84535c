// Readouts under contention: a writer (playing the force-control thread and
// the reader) keeps replacing the TCP wrench and the frame, a bias thread keeps
// moving the offsets, the facade's own thread copies the frame, and reader
// threads check that no readout mixes two states and no bias step is lost.
// Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "comm/command_facade.h"
#include "comm/sensor_reader.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;

constexpr int kWrites = 3000;
constexpr int kBiasSteps = 1000;

// Every written state has six equal components and every bias step adds 1 to
// one half: within each half the values agree.
bool halvesConsistent(const double (&v)[6]) {
  return v[0] == v[1] && v[1] == v[2] && v[3] == v[4] && v[4] == v[5];
}

TEST(FacadeStress, ReadoutsWhileWritersRun_NeverSeeHalfWrittenState) {
  vorel_test::removeNames();
  vorel_device::VorelForceTorqueSensorComm reader(5);
  vorel_device::VorelForceTorqueSensorSecondaryInstance facade(10);
  ASSERT_TRUE(facade.start(1000));
  std::atomic<bool> writers_done{false};
  std::atomic<int> inconsistent{0};
  std::thread writer([&] {
    vorel_test::SegmentView view;  // its own handles, as the force-control thread has
    for (int k = 1; k <= kWrites; ++k) {
      vorel_device::RxFrame frame{};
      for (int i = 0; i < 6; ++i)
        frame.ft_data[i] = static_cast<float>(k);
      ss::Lock lock(view.mutex());
      *ss::find<vorel_device::Wrench>(view.segment(), ss::kTcpTransformedWrench) =
          vorel_device::Wrench{{1.0 * k, 1.0 * k, 1.0 * k, 1.0 * k, 1.0 * k, 1.0 * k}};
      *ss::find<vorel_device::RxFrame>(view.segment(), ss::kFrame) = frame;
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
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      for (int count = 0; count < 300 || !writers_done.load(); ++count) {
        double out[6];
        facade.getTCPFrameFTData(out);
        inconsistent += !halvesConsistent(out);
        facade.getRawFTData(out);
        inconsistent += !halvesConsistent(out);
      }
    });
  }
  writer.join();
  biaser.join();
  writers_done = true;
  for (std::thread& t : readers)
    t.join();
  EXPECT_TRUE(facade.stop(1000));

  EXPECT_EQ(inconsistent.load(), 0);
  double out[6];
  facade.getTCPFrameFTData(out);
  EXPECT_EQ(out[0], kWrites - kBiasSteps);
  EXPECT_EQ(out[5], kWrites - kBiasSteps);
}

}  // namespace
