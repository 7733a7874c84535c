// SteppingController: the simulator's deterministic controller, for runs that
// must not depend on a clock: a ControllerBackend whose cycles its user (a
// test, a benchmark) grants one by one, whose state the user sets, and which
// records every drive and motion command for the user to read back. The
// real-time controller with its robot and world is SimulatedController.
//
// Cycles. In stepping mode (the default) `sync` blocks until the user grants a
// cycle: `runCycles(n)` lets n controller cycles pass. At each cycle every
// thread blocked in `sync` at that moment returns (as on the real controller,
// where all waiters wake on the same 2 ms tick); `runCycles` then waits until
// each of them is blocked in `sync` again, so the work of the cycle is done
// when it returns. A thread that enters `sync` after a cycle was granted waits
// for the next one. In free-running mode `sync` returns at once (after an
// optional pause) and counts one cycle per call.
//
// Before stopping a thread that is blocked in `sync`, switch to free-running
// mode: it releases every waiter.
//
// Cycle numbers: `cycle()` is the number of cycles granted so far; work done
// after the k-th cycle's `sync` returned is recorded with cycle k (0 before
// the first cycle).
//
// Every accessor is thread-safe. Waits (`runCycles`, `awaitWaiting`,
// `await...`) give up after a guard time (10 s by default) and return false:
// the guard catches a hang, it is not a timing assertion.
#pragma once

#include <boost/optional.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "host/controller_backend.h"
#include "host/controller_types.h"

namespace vorel_sim {

// A drive command as the drive channel received it.
struct DriveRecord {
  std::uint64_t cycle;                        // cycle in which it came
  hx4rc_api::Drive::CmdReferenceCtl command;  // copy of the submitted command
};

// A motion command as the controller received it.
struct MotionRecord {
  std::uint64_t cycle;
  hx4rc_api::Motion::Target target;
  hx4rc_api::Motion::Params params;
};

// A load written by the host side (ControllerBackend::setLoad, for example
// through a bound system load).
struct LoadWrite {
  hx4rc_api::Load::SysId id;
  hx4rc_api::Load record;
};

class SteppingController : public hx4_program_api_internals::ControllerBackend {
 public:
  using MoveHook =
      std::function<void(const hx4rc_api::Motion::Target&, const hx4rc_api::Motion::Params&)>;
  using SyncHook = std::function<void()>;

  SteppingController();
  ~SteppingController() override;
  SteppingController(const SteppingController&) = delete;
  SteppingController& operator=(const SteppingController&) = delete;

  // --- Cycles -------------------------------------------------------------
  // Grants n cycles, one after another: each waits (guarded) for a thread in
  // sync, releases the threads waiting there, and waits until each of them is
  // blocked in sync again. False when that does not happen within the guard.
  // In free-running mode: returns true at once.
  bool runCycles(int n);
  // Waits (guarded) until at least `threads` threads are blocked in sync.
  bool awaitWaiting(int threads = 1);
  // Free-running: sync returns at once, after `pause` (0: only yields).
  // Switching it on releases every thread blocked in sync.
  void setFreeRunning(bool on, std::chrono::microseconds pause = std::chrono::microseconds(0));
  bool freeRunning() const;
  // Cycles granted so far (stepping) plus free-running sync calls.
  std::uint64_t cycle() const;
  // Calls of sync that have returned.
  std::uint64_t syncCount() const;
  // Threads blocked in sync now.
  int waitingThreads() const;
  // The guard of every wait (default 10 s).
  void setGuard(std::chrono::milliseconds guard);

  // --- State the test sets ------------------------------------------------
  // The controller status word (item 0, index 0); bit value 2 marks that the
  // load model may be read. Default 0.
  void setRcState(std::uint32_t value);
  // The load model's record for `id`, as the test sets it (not recorded as a
  // host write). Default: the all-NaN record of that id.
  void setLoadRecord(hx4rc_api::Load::SysId id, const hx4rc_api::Load& record);
  // Shorthand: the tool load with `mass` in kg, centre of gravity in m (flange
  // axes) and a zero inertia tensor.
  void setToolLoad(double mass, const hx4rc_api::Vector& cog);
  // The load model's current record for `id` (test or host writes).
  hx4rc_api::Load loadRecord(hx4rc_api::Load::SysId id) const;
  // Every ControllerBackend::setLoad call, in order.
  std::vector<LoadWrite> loadWrites() const;
  // Pose of frame a relative to frame b; pairs not set give the identity.
  void setFrame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b,
                const hx4rc_api::Frame& frame);
  std::uint64_t frameQueryCount() const;
  // Status record of the control resources; empty: the controller offers
  // none. Default: present, all flags clear.
  void setResourceStatus(const boost::optional<hx4_program_api_internals::ControlStatus>& status);
  // Sets or clears one flag of the status record (making it present).
  void setResourceFlag(unsigned bit, bool on);
  std::uint64_t acquireCount() const;
  std::uint64_t releaseCount() const;
  // Calls of resourceStatus so far.
  std::uint64_t statusQueryCount() const;
  bool awaitStatusQueries(std::uint64_t n);
  // Called (outside the double's lock, on the caller's thread) after each
  // move is recorded; may call setFrame to move the TCP. Empty: none.
  void setMoveHook(MoveHook hook);
  // Called (outside the double's lock, on the caller's thread) each time a
  // sync returns: a robot's motion between commands. Empty: none.
  void setSyncHook(SyncHook hook);

  // --- Records ------------------------------------------------------------
  std::vector<DriveRecord> driveCommands() const;
  std::size_t driveCommandCount() const;
  bool awaitDriveCommands(std::size_t n);
  std::vector<MotionRecord> motionCommands() const;
  std::size_t motionCommandCount() const;
  bool awaitMotionCommands(std::size_t n);
  // Forgets the recorded drive and motion commands and load writes.
  void clearRecords();

  // --- ControllerBackend --------------------------------------------------
  void sync(bool wait_for_motion) override;
  hx4rc_api::State::SysStat_RCState rcState() override;
  hx4rc_api::Load load(hx4rc_api::Load::SysId id) override;
  void setLoad(hx4rc_api::Load::SysId id, const hx4rc_api::Load& load) override;
  hx4rc_api::Frame frame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) override;
  int move(const hx4rc_api::Motion::Target& target,
           const hx4rc_api::Motion::Params& params) override;
  int submit(const hx4rc_api::Drive::CmdReferenceCtl& command) override;
  void acquireResources(bool exclusive) override;
  void releaseResources() override;
  boost::optional<hx4_program_api_internals::ControlStatus> resourceStatus() override;

 private:
  using FrameKey = std::pair<hx4rc_api::Model::SysId, hx4rc_api::Model::SysId>;

  // Waits on changed_ until pred() holds or the guard passes.
  template <class Pred>
  bool awaitLocked(std::unique_lock<std::mutex>& lock, Pred pred);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::chrono::milliseconds guard_{10000};

  bool free_running_ = false;
  std::chrono::microseconds pause_{0};
  std::uint64_t cycle_ = 0;
  std::uint64_t sync_count_ = 0;
  int waiting_ = 0;
  // Threads that entered sync since the last granted cycle.
  int arrivals_ = 0;

  std::uint32_t rc_state_ = 0;
  std::map<hx4rc_api::Load::SysId, hx4rc_api::Load> loads_;
  std::vector<LoadWrite> load_writes_;
  std::map<FrameKey, hx4rc_api::Frame> frames_;
  std::uint64_t frame_queries_ = 0;
  boost::optional<hx4_program_api_internals::ControlStatus> status_;
  std::uint64_t acquires_ = 0;
  std::uint64_t releases_ = 0;
  std::uint64_t status_queries_ = 0;
  MoveHook move_hook_;
  SyncHook sync_hook_;

  std::vector<DriveRecord> drive_;
  std::vector<MotionRecord> motion_;
};

}  // namespace vorel_sim
