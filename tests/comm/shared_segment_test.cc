// The shared segment's life: created by the reader with the table's initial
// values, stale names of a killed process replaced, open-only opening by the
// facade and the force-control side, removal of both names by the reader's
// destructor (and by a failed construction).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include <boost/interprocess/exceptions.hpp>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "comm/VorelForceTorqueSensorComm.h"
#include "comm/VorelForceTorqueSensorSecondaryInstance.h"
#include "tests/comm/peer_process.h"
#include "tests/support/poll_until.h"
#include "tests/support/segment_view.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_device::ftBias;
using vorel_device::Gains;
using vorel_device::RxFrame;
using vorel_device::SystemFilterParams;
using vorel_device::VorelForceTorqueSensorComm;
using vorel_device::VorelForceTorqueSensorSecondaryInstance;
using vorel_device::Wrench;
using vorel_test::SegmentView;
using Facade = VorelForceTorqueSensorSecondaryInstance;

bool isQuietNaN(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof(bits));
  const bool exponent_all_ones = ((bits >> 52) & 0x7FF) == 0x7FF;
  const bool quiet_bit = (bits & (std::uint64_t{1} << 51)) != 0;
  return exponent_all_ones && quiet_bit;
}

void expectZero(const Wrench& w) {
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(w[i], 0.0) << "component " << i;
}

class SharedSegment : public testing::Test {
 protected:
  void SetUp() override { vorel_test::removeNames(); }
  void TearDown() override { vorel_test::removeNames(); }
};

class SharedSegmentUmask : public SharedSegment, public testing::WithParamInterface<mode_t> {};

// Both names get 0644 whatever the creating process's umask, so that a
// binding process of another user can open them.
TEST_P(SharedSegmentUmask, Reader_Constructed_BothNamesHaveMode0644) {
  const mode_t old_mask = ::umask(GetParam());
  auto reader = std::make_unique<VorelForceTorqueSensorComm>(5);
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

INSTANTIATE_TEST_SUITE_P(Umasks, SharedSegmentUmask, testing::Values(022, 027, 077));

TEST_F(SharedSegment, Reader_Constructed_CreatesTheObjectsWithInitialValues) {
  auto reader = std::make_unique<VorelForceTorqueSensorComm>(5);
  SegmentView view;

  EXPECT_EQ(view.segment().get_size(), 131072u);
  EXPECT_EQ(view.segment().get_num_named_objects(), 21u);  // eighteen plus three additions
  EXPECT_EQ(vorel_test::mutexCount(), 1);

  // Every object is one element.
  EXPECT_EQ(view.count<RxFrame>(ss::kFrame), 1u);
  EXPECT_EQ(view.count<std::int32_t>(ss::kFrameCounter), 1u);
  EXPECT_EQ(view.count<double>(ss::kRuntime), 1u);
  EXPECT_EQ(view.count<bool>(ss::kActivateTranslation), 1u);
  EXPECT_EQ(view.count<bool>(ss::kActivateRotation), 1u);
  EXPECT_EQ(view.count<ftBias>(ss::kWrenchOffset), 1u);
  EXPECT_EQ(view.count<Wrench>(ss::kTrackWrench), 1u);
  EXPECT_EQ(view.count<Wrench>(ss::kGravityCompensatedWrench), 1u);
  EXPECT_EQ(view.count<Wrench>(ss::kTcpTransformedWrench), 1u);
  EXPECT_EQ(view.count<Wrench>(ss::kTcpFilteredWrench), 1u);
  EXPECT_EQ(view.count<Gains>(ss::kGains), 1u);
  EXPECT_EQ(view.count<ss::EnabledAxes>(ss::kEnabledAxes), 1u);
  EXPECT_EQ(view.count<ss::EnabledSystemFilters>(ss::kEnabledSystemFilters), 1u);
  EXPECT_EQ(view.count<SystemFilterParams>(ss::kSystemFilterParams), 1u);
  EXPECT_EQ(view.count<vorel_device::FilterOptions>(ss::kTempFilterOptions), 1u);
  EXPECT_EQ(view.count<std::int32_t>(ss::kNewFilterFlag), 1u);
  EXPECT_EQ(view.count<bool>(ss::kResetFilterHistory), 1u);
  EXPECT_EQ(view.count<hx4rc_api::Frame>(ss::kSensorToTfcTransform), 1u);
  EXPECT_EQ(view.count<vorel_device::SensorHealth>(ss::kSensorHealth), 1u);
  EXPECT_EQ(view.count<vorel_device::ForceControlLimits>(ss::kForceControlLimits), 1u);
  EXPECT_EQ(view.count<bool>(ss::kReloadToolLoad), 1u);
  EXPECT_FALSE(view.read<bool>(ss::kReloadToolLoad));
  const vorel_device::SensorHealth health =
      view.read<vorel_device::SensorHealth>(ss::kSensorHealth);
  EXPECT_EQ(health.frames_published, 0u);
  EXPECT_EQ(health.supervisor_state, vorel_device::SensorHealth::kOk);
  EXPECT_EQ(health.last_usable_age, -1.0);
  EXPECT_EQ(view.read<vorel_device::ForceControlLimits>(ss::kForceControlLimits).max_translation,
            0.0);

  const RxFrame frame = view.read<RxFrame>(ss::kFrame);
  const std::uint8_t zeros[RxFrame::kSize] = {};
  EXPECT_EQ(std::memcmp(frame.bytes(), zeros, RxFrame::kSize), 0);
  EXPECT_EQ(view.read<std::int32_t>(ss::kFrameCounter), 0);
  EXPECT_EQ(view.read<double>(ss::kRuntime), 0.0);
  EXPECT_FALSE(view.read<bool>(ss::kActivateTranslation));
  EXPECT_FALSE(view.read<bool>(ss::kActivateRotation));
  const ftBias offset = view.read<ftBias>(ss::kWrenchOffset);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(offset[i], 0.0);
  expectZero(view.read<Wrench>(ss::kTrackWrench));
  expectZero(view.read<Wrench>(ss::kGravityCompensatedWrench));
  expectZero(view.read<Wrench>(ss::kTcpTransformedWrench));
  expectZero(view.read<Wrench>(ss::kTcpFilteredWrench));

  const Gains gains = view.read<Gains>(ss::kGains);
  EXPECT_EQ(gains.translation_gain, 5.0);
  EXPECT_EQ(gains.rotation_gain, 5.0);
  EXPECT_EQ(gains.track_smoothing, 0.01);
  EXPECT_EQ(view.read<ss::EnabledAxes>(ss::kEnabledAxes), (ss::EnabledAxes{0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(view.read<ss::EnabledSystemFilters>(ss::kEnabledSystemFilters)[0], 0);
  const SystemFilterParams params = view.read<SystemFilterParams>(ss::kSystemFilterParams);
  EXPECT_EQ(params.cutoff_frequency, 50.0);
  EXPECT_EQ(params.rising_rate, 50.0);
  EXPECT_EQ(params.falling_rate, -50.0);

  const auto options = view.read<vorel_device::FilterOptions>(ss::kTempFilterOptions);
  const char no_name[vorel_device::FilterOptions::kNameSize] = {};
  EXPECT_EQ(std::memcmp(options.name, no_name, sizeof(no_name)), 0);
  EXPECT_EQ(options.type, 0);
  EXPECT_EQ(options.reject_frequency, -1.0);
  EXPECT_EQ(options.bandwidth, -1.0);
  EXPECT_EQ(options.cutoff_frequency, -1.0);
  EXPECT_EQ(options.rising_rate, 0.0);
  EXPECT_EQ(options.falling_rate, 0.0);
  EXPECT_EQ(view.read<std::int32_t>(ss::kNewFilterFlag), 0);
  EXPECT_FALSE(view.read<bool>(ss::kResetFilterHistory));

  static_assert(sizeof(hx4rc_api::Frame) == 12 * sizeof(double), "twelve doubles");
  const hx4rc_api::Frame transform = view.read<hx4rc_api::Frame>(ss::kSensorToTfcTransform);
  double values[12];
  std::memcpy(values, &transform, sizeof(values));
  for (int i = 0; i < 12; ++i)
    EXPECT_TRUE(isQuietNaN(values[i])) << "component " << i;
}

TEST_F(SharedSegment, Reader_Destroyed_RemovesBothNames) {
  auto reader = std::make_unique<VorelForceTorqueSensorComm>(5);
  EXPECT_TRUE(vorel_test::segmentNameExists());
  EXPECT_TRUE(vorel_test::mutexNameExists());
  reader.reset();
  EXPECT_FALSE(vorel_test::segmentNameExists());
  EXPECT_FALSE(vorel_test::mutexNameExists());
}

class StaleNames : public SharedSegment, public testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(HolderState, StaleNames, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "MutexLocked" : "MutexFree";
                         });

TEST_P(StaleNames, Reader_AfterProcessKilled_CreatesFreshSegmentAndUnlockedMutex) {
  const bool locked = GetParam();
  const vorel_test::PeerResult peer = vorel_test::runPeer({"stale", locked ? "lock" : "free"});
  ASSERT_TRUE(peer.started);
  ASSERT_EQ(peer.signal, SIGKILL) << "the peer must die by SIGKILL";
  ASSERT_TRUE(vorel_test::segmentNameExists());
  ASSERT_EQ(vorel_test::mutexCount(), locked ? 0 : 1);
  {
    SegmentView stale;
    ASSERT_EQ(stale.count<int>("stale_marker"), 1u);
  }

  VorelForceTorqueSensorComm reader(5);
  EXPECT_EQ(vorel_test::mutexCount(), 1);
  SegmentView view;
  EXPECT_EQ(view.count<int>("stale_marker"), 0u);
  EXPECT_EQ(view.segment().get_num_named_objects(), 21u);  // eighteen plus three additions
  EXPECT_EQ(view.read<Gains>(ss::kGains).translation_gain, 5.0);
  EXPECT_EQ(view.read<ss::EnabledAxes>(ss::kEnabledAxes), (ss::EnabledAxes{0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(view.read<std::int32_t>(ss::kFrameCounter), 0);

  // The mutex works: the reader's cycle bookkeeping takes it (the thread
  // never ran, so nothing is drained) and the facade takes it.
  EXPECT_EQ(reader.readFrame(), VorelForceTorqueSensorComm::kNoAttempt);
  EXPECT_EQ(view.read<std::int32_t>(ss::kFrameCounter), 1);
  Facade facade(10);
  double tcp[6];
  facade.getTCPFrameFTData(tcp);
  EXPECT_EQ(tcp[0], 0.0);
  EXPECT_EQ(vorel_test::mutexCount(), 1);
}

TEST_F(SharedSegment, Open_NoSegmentOrNoMutex_ThrowsAndCreatesNothing) {
  // Neither exists: the facade and the force-control side's open calls throw.
  EXPECT_THROW(Facade(10), boost::interprocess::interprocess_exception);
  EXPECT_THROW(ss::openSegment(), boost::interprocess::interprocess_exception);
  EXPECT_THROW(ss::openMutex(), boost::interprocess::interprocess_exception);
  EXPECT_FALSE(vorel_test::segmentNameExists());
  EXPECT_FALSE(vorel_test::mutexNameExists());

  // Only the mutex exists: no segment appears.
  {
    boost::shared_ptr<ss::Mutex> mutex = ss::createMutex();
    EXPECT_THROW(Facade(10), boost::interprocess::interprocess_exception);
    EXPECT_THROW(ss::openSegment(), boost::interprocess::interprocess_exception);
    EXPECT_FALSE(vorel_test::segmentNameExists());
    EXPECT_EQ(vorel_test::mutexCount(), 1);
  }
  vorel_test::removeNames();

  // Only the segment exists: no mutex appears.
  {
    ss::Segment segment = ss::createSegment();
    ss::constructObjects(segment);
    EXPECT_THROW(Facade(10), boost::interprocess::interprocess_exception);
    EXPECT_THROW(ss::openMutex(), boost::interprocess::interprocess_exception);
    EXPECT_FALSE(vorel_test::mutexNameExists());
  }
}

TEST_F(SharedSegment, Reader_MutexCreationFails_ThrowsAndLeavesNoSegment) {
  // A directory where the mutex's semaphore would go: it cannot be removed
  // (it is no semaphore) nor created, so the constructor fails after the
  // segment exists.
  const char* blocker = "/dev/shm/sem.VorelNamedMutex";
  ASSERT_EQ(::mkdir(blocker, 0700), 0);
  EXPECT_THROW(VorelForceTorqueSensorComm(5), boost::interprocess::interprocess_exception);
  EXPECT_FALSE(vorel_test::segmentNameExists());
  ::rmdir(blocker);
}

TEST_F(SharedSegment, Reader_DestroyedWhileFacadeMapped_FacadeKeepsUnlinkedSegment) {
  auto reader = std::make_unique<VorelForceTorqueSensorComm>(5);
  Facade facade(10);
  {
    SegmentView view;
    view.write(ss::kTcpTransformedWrench, Wrench{{1.0, 2.0, 3.0, 4.0, 5.0, 6.0}});
  }
  double bias[3] = {0.5, 0.5, 0.5};
  facade.setForceBias(bias);

  reader.reset();
  EXPECT_FALSE(vorel_test::segmentNameExists());
  EXPECT_FALSE(vorel_test::mutexNameExists());

  // The facade still works on the old, unlinked segment and mutex.
  double out[6];
  facade.getTCPFrameFTData(out);
  EXPECT_EQ(out[0], 0.5);
  EXPECT_EQ(out[2], 2.5);
  EXPECT_EQ(out[5], 6.0);
  facade.setForceBias(bias);
  facade.getTCPFrameFTData(out);
  EXPECT_EQ(out[0], 0.0);

  // A new reader starts a fresh segment that knows nothing of the old one.
  VorelForceTorqueSensorComm next(5);
  SegmentView fresh;
  expectZero(fresh.read<Wrench>(ss::kTcpTransformedWrench));
  EXPECT_EQ(fresh.read<ftBias>(ss::kWrenchOffset)[0], 0.0);
  fresh.write(ss::kTcpTransformedWrench, Wrench{{9.0, 9.0, 9.0, 9.0, 9.0, 9.0}});
  facade.getTCPFrameFTData(out);
  EXPECT_EQ(out[0], 0.0);  // still the old segment's wrench minus the old offsets
  EXPECT_EQ(out[5], 6.0);
}

// --- The bounded, interrupt-safe lock -----------------------------------------

std::atomic<int> g_signals{0};
extern "C" void countSignal(int) {
  g_signals.fetch_add(1);
}

// A handler installed without SA_RESTART makes sem_timedwait fail with EINTR:
// the wait must resume and take the mutex once its holder lets go, and never
// throw "Interrupted system call" into a worker or a robot program.
TEST_F(SharedSegment, Lock_SignalsDuringTheWait_WaitResumesAndTakesTheMutex) {
  VorelForceTorqueSensorComm reader(5);
  auto mutex = ss::openMutex();
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = countSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART
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
  // Signals while the waiter waits: each is handled before the next goes.
  for (int i = 1; i <= 20 && outcome.load() == 0; ++i) {
    ASSERT_EQ(::pthread_kill(waiter.native_handle(), SIGUSR1), 0);
    ASSERT_TRUE(vorel_test::pollUntil([&] { return g_signals.load() >= i; }));
  }
  EXPECT_EQ(outcome.load(), 0) << "the wait ended while the mutex was held";
  holder.reset();
  waiter.join();
  EXPECT_EQ(outcome.load(), 1);
  ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(SharedSegment, Lock_HolderNeverLetsGo_TimesOutWithTheMutexNamed) {
  VorelForceTorqueSensorComm reader(5);
  auto mutex = ss::openMutex();
  ss::Lock holder(*mutex);
  try {
    ss::Lock second(*mutex, 20);
    FAIL() << "the second lock was taken";
  } catch (const ss::LockTimeout& e) {
    EXPECT_STREQ(e.what(), "VorelNamedMutex not acquired within 20 ms");
  }
}

}  // namespace
