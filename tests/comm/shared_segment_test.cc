// The shared segment's life: created by the reader with its initial values and
// mode 0644, stale names of a killed process replaced, open-only opening,
// removal of both names by the reader's destructor (and by a failed
// construction), and the bounded, interrupt-safe lock of the named mutex.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <boost/interprocess/exceptions.hpp>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "comm/command_facade.h"
#include "comm/sensor_reader.h"
#include "tests/comm/frame_builder.h"
#include "tests/support/peer_process.h"
#include "tests/support/poll_until.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using boost::interprocess::interprocess_exception;
using vorel_device::ftBias;
using vorel_device::Gains;
using vorel_device::RxFrame;
using vorel_device::Wrench;
using vorel_test::SegmentView;
using Reader = vorel_device::VorelForceTorqueSensorComm;
using Facade = vorel_device::VorelForceTorqueSensorSecondaryInstance;

class SharedSegmentTest : public testing::Test {
 protected:
  void SetUp() override { vorel_test::removeNames(); }
  void TearDown() override { vorel_test::removeNames(); }
};

class SharedSegmentUmaskTest : public SharedSegmentTest,
                               public testing::WithParamInterface<mode_t> {};

INSTANTIATE_TEST_SUITE_P(Umasks, SharedSegmentUmaskTest, testing::Values(022, 027, 077));

// A binding process of another user must be able to open both names.
TEST_P(SharedSegmentUmaskTest, ReaderConstructed_BothNamesHaveMode0644) {
  const mode_t old_mask = ::umask(GetParam());
  Reader reader(5);
  ::umask(old_mask);
  mode_t mode = 0;
  off_t size = 0;
  ASSERT_TRUE(vorel_test::segmentStat(mode, size));
  EXPECT_EQ(mode, 0644u);
  EXPECT_EQ(size, 131072);
  struct stat sem_stat {};
  ASSERT_EQ(::stat("/dev/shm/sem.VorelNamedMutex", &sem_stat), 0);
  EXPECT_EQ(sem_stat.st_mode & 07777, 0644u);
}

// The values every consumer may rely on before anything was written.
void expectInitialValues(SegmentView& view) {
  EXPECT_EQ(view.segment().get_num_named_objects(), 26u);  // eighteen plus eight additions
  EXPECT_EQ(vorel_test::mutexCount(), 1);
  EXPECT_TRUE(vorel_test::sameBytes(view.read<RxFrame>(ss::kFrame), RxFrame{}));
  EXPECT_EQ(view.read<std::int32_t>(ss::kFrameCounter), 0);
  EXPECT_FALSE(view.read<bool>(ss::kActivateTranslation) || view.read<bool>(ss::kActivateRotation));
  EXPECT_EQ(view.read<ftBias>(ss::kWrenchOffset)[0], 0.0);
  for (const char* name : {ss::kTrackWrench, ss::kTcpTransformedWrench, ss::kTcpFilteredWrench})
    EXPECT_EQ(view.read<Wrench>(name)[0], 0.0) << name;
  const Gains gains = view.read<Gains>(ss::kGains);
  EXPECT_EQ(gains.translation_gain + gains.rotation_gain, 10.0);
  EXPECT_EQ(gains.track_smoothing, 0.01);
  EXPECT_EQ(view.read<ss::EnabledAxes>(ss::kEnabledAxes), (ss::EnabledAxes{0, 0, 0, 0, 0, 0}));
  const auto params = view.read<vorel_device::SystemFilterParams>(ss::kSystemFilterParams);
  EXPECT_EQ((std::vector<double>{params.cutoff_frequency, params.rising_rate, params.falling_rate}),
            (std::vector<double>{50.0, 50.0, -50.0}));
  const auto options = view.read<vorel_device::FilterOptions>(ss::kTempFilterOptions);
  EXPECT_EQ(
      (std::vector<double>{options.reject_frequency, options.bandwidth, options.cutoff_frequency}),
      (std::vector<double>{-1, -1, -1}));
  EXPECT_EQ(view.read<std::int32_t>(ss::kNewFilterFlag), 0);
  EXPECT_FALSE(view.read<hx4rc_api::Frame>(ss::kSensorToTfcTransform).isFinite());
  EXPECT_EQ(view.read<vorel_device::SensorHealth>(ss::kSensorHealth).last_usable_age, -1.0);
  // 250 mm/s and 45 deg/s; no force-control cycle yet.
  const auto speed = view.read<vorel_device::ForceControlSpeedLimits>(ss::kForceControlSpeedLimits);
  EXPECT_EQ(speed.translation, 0.25);
  EXPECT_DOUBLE_EQ(speed.rotation, 0.7853981633974483);
  const vorel_device::HeartbeatBeat beat = vorel_device::heartbeat::read(
      *ss::find<vorel_device::ForceControlHeartbeat>(view.segment(), ss::kForceControlHeartbeat));
  EXPECT_EQ(beat.cycles, 0u);
  EXPECT_EQ(beat.monotonic_ns, 0);
  const auto request = view.read<vorel_device::BlackBoxRequest>(ss::kBlackBoxRequest);
  EXPECT_EQ(request.requests + request.terminations, 0u);
}

TEST_F(SharedSegmentTest, ReaderConstructed_CreatesObjectsWithInitialValues) {
  Reader reader(5);
  SegmentView view;
  expectInitialValues(view);
}

TEST_F(SharedSegmentTest, ReaderDestroyed_RemovesBothNames) {
  auto reader = std::make_unique<Reader>(5);
  EXPECT_TRUE(vorel_test::segmentNameExists() && vorel_test::mutexNameExists());
  reader.reset();
  EXPECT_FALSE(vorel_test::segmentNameExists());
  EXPECT_FALSE(vorel_test::mutexNameExists());
}

class StaleNamesTest : public SharedSegmentTest, public testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(HolderState, StaleNamesTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "MutexLocked" : "MutexFree";
                         });

// A second process creates the segment, changes values, adds an object,
// optionally takes the mutex, and dies by SIGKILL.
TEST_P(StaleNamesTest, ReaderAfterProcessKilled_CreatesFreshSegmentAndUnlockedMutex) {
  const bool locked = GetParam();
  const vorel_test::PeerRun peer =
      vorel_test::runPeer({VOREL_COMM_SEGMENT_PEER, "stale", locked ? "lock" : "free"});
  ASSERT_EQ(peer.exit.signal, SIGKILL) << peer.out << peer.err;
  ASSERT_EQ(vorel_test::mutexCount(), locked ? 0 : 1);
  ASSERT_EQ(SegmentView().count<int>("stale_marker"), 1u);

  Reader reader(5);
  SegmentView view;
  EXPECT_EQ(view.count<int>("stale_marker"), 0u);
  expectInitialValues(view);
  // The mutex works for the reader's cycle bookkeeping and for the facade.
  EXPECT_EQ(reader.readFrame(), Reader::kNoAttempt);
  EXPECT_EQ(view.read<std::int32_t>(ss::kFrameCounter), 1);
  Facade facade(10);
  double tcp[6];
  EXPECT_TRUE(facade.getTCPFrameFTData(tcp));
}

TEST_F(SharedSegmentTest, OpenWithoutSegmentOrMutex_ThrowsAndCreatesNothing) {
  EXPECT_THROW(Facade(10), interprocess_exception);
  EXPECT_THROW(ss::openMutex(), interprocess_exception);
  EXPECT_FALSE(vorel_test::mutexNameExists());
  ss::Segment segment = ss::createSegment();
  ss::constructObjects(segment);
  EXPECT_THROW(Facade(10), interprocess_exception);  // a segment alone is not enough
  EXPECT_FALSE(vorel_test::mutexNameExists());
}

// A directory where the mutex's semaphore goes can be neither removed nor
// replaced: the constructor fails after the segment exists, and removes it.
TEST_F(SharedSegmentTest, ReaderMutexCreationFails_ThrowsAndLeavesNoSegment) {
  const char* blocker = "/dev/shm/sem.VorelNamedMutex";
  ASSERT_EQ(::mkdir(blocker, 0700), 0);
  EXPECT_THROW(Reader(5), interprocess_exception);
  EXPECT_FALSE(vorel_test::segmentNameExists());
  ::rmdir(blocker);
}

TEST_F(SharedSegmentTest, ReaderDestroyedWhileFacadeMapped_FacadeKeepsUnlinkedSegment) {
  auto reader = std::make_unique<Reader>(5);
  Facade facade(10);
  SegmentView().write(ss::kTcpTransformedWrench, Wrench{{1.0, 2.0, 3.0, 4.0, 5.0, 6.0}});
  double bias[3] = {0.5, 0.5, 0.5};
  facade.setForceBias(bias);
  reader.reset();

  // A new reader starts a fresh segment; the facade still works on the old one.
  Reader next(5);
  SegmentView fresh;
  EXPECT_EQ(fresh.read<ftBias>(ss::kWrenchOffset)[0], 0.0);
  fresh.write(ss::kTcpTransformedWrench, Wrench{{9.0, 9.0, 9.0, 9.0, 9.0, 9.0}});
  double out[6];
  EXPECT_TRUE(facade.setForceBias(bias));
  EXPECT_TRUE(facade.getTCPFrameFTData(out));
  EXPECT_EQ(out[0], 0.0);  // 1 - 0.5 - 0.5
  EXPECT_EQ(out[5], 6.0);
}

std::atomic<int> g_signals{0};
extern "C" void countSignal(int) {
  g_signals.fetch_add(1);
}

// A handler without SA_RESTART makes the semaphore wait fail with EINTR: the
// wait must resume and take the mutex once its holder lets go, never throw
// "Interrupted system call" into a worker or a robot program.
TEST_F(SharedSegmentTest, LockSignalledDuringWait_ResumesAndTakesTheMutex) {
  Reader reader(5);
  auto mutex = ss::openMutex();
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = countSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  std::atomic<bool> waiting{false};
  std::atomic<int> outcome{0};  // 1 locked, 2 threw
  auto holder = std::make_unique<ss::Lock>(*mutex);
  std::thread waiter([&] {
    try {
      waiting.store(true);
      ss::Lock lock(*mutex, 10000);  // a hang guard, not a timing bound
      outcome.store(1);
    } catch (const std::exception&) {
      outcome.store(2);
    }
  });
  ASSERT_TRUE(vorel_test::pollUntil([&] { return waiting.load(); }));
  // Twenty handled signals while the holder keeps the mutex. A signal that a
  // sanitizer runtime holds back is sent again until one is handled; a wait
  // that ends early stops the loop and is reported below.
  bool handled = true;
  for (int i = 1; i <= 20 && handled && outcome.load() == 0; ++i) {
    handled = vorel_test::pollUntil([&] {
      if (g_signals.load() >= i || outcome.load() != 0)
        return true;
      ::pthread_kill(waiter.native_handle(), SIGUSR1);
      return false;
    });
  }
  EXPECT_TRUE(handled) << "a signal to the waiter was not handled, " << g_signals.load() << " were";
  EXPECT_EQ(outcome.load(), 0) << "the wait ended while the mutex was held";
  holder.reset();
  waiter.join();
  EXPECT_EQ(outcome.load(), 1);
  ::sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
