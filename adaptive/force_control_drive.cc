// AdaptiveThread's commands to the drive: the worker's sends and the owner's
// end of force control with its fall-back.
#include <chrono>
#include <ctime>

#include "adaptive/force_control_thread.h"

namespace vorel_device {

bool AdaptiveThread::sendOffset(const double (&offset)[6]) {
  hx4rc_api::Drive::CmdDriveCtl command;
  hx4rc_api::Pose pose;
  pose.setPRPY(&offset[0], &offset[3], 0);
  pose.valid = 1;
  {
    // The owner holds it only for a check or the fall-back's hand-over.
    std::lock_guard<tmvz_periodic_thread::PiMutex> drive(drive_mutex);
    if (abandoned.load())
      return false;
    program->driveChannel().submit(command.asReferenceControl().withReferenceOffset(pose));
    for (int i = 0; i < 6; ++i)
      sent[i] = offset[i];
  }
  command_count.fetch_add(1);
  return true;
}

void AdaptiveThread::endForceControl() {
  end_requested.store(true);
}

AdaptiveThread::Finish AdaptiveThread::finishForceControl(double (&left)[6]) {
  {
    std::lock_guard<tmvz_periodic_thread::PiMutex> drive(drive_mutex);
    if (!was_active.load() || abandoned.load()) {
      // Nothing to return. No send can be under way (the drive mutex), and
      // none follows until a cycle finds the shared flags off.
      abandoned.store(true);
      return Finish::kIdle;
    }
  }
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto last_cycle = start;
  std::uint64_t cycles = cycles_run.load();
  for (;;) {
    if (!was_active.load())
      return Finish::kReturned;
    const auto now = Clock::now();
    if (cycles_run.load() != cycles) {
      cycles = cycles_run.load();
      last_cycle = now;
    }
    const bool stalled = now - last_cycle >= std::chrono::milliseconds(kReturnStallMs);
    if (stalled || now - start >= std::chrono::milliseconds(kReturnWaitMs))
      break;
    timespec pause{0, 1000000L};  // 1 ms
    nanosleep(&pause, nullptr);
  }
  // The fall-back: the zero offset at once from here, and the worker never
  // sends its old offset again (it waits for the drive mutex, or finds
  // `abandoned` before its next send). The mutex is held only for the
  // hand-over, not for the command: every send of the worker is made
  // holding it, so none follows the release and the zero is the last.
  {
    std::lock_guard<tmvz_periodic_thread::PiMutex> drive(drive_mutex);
    if (!was_active.load())
      return Finish::kReturned;
    abandoned.store(true);
    for (int i = 0; i < 6; ++i)
      left[i] = sent[i];
  }
  hx4rc_api::Drive::CmdDriveCtl command;
  hx4rc_api::Pose pose;
  const double zero[3] = {0.0, 0.0, 0.0};
  pose.setPRPY(zero, zero, 0);
  pose.valid = 1;
  program->driveChannel().submit(command.asReferenceControl().withReferenceOffset(pose));
  const bool stalled = Clock::now() - last_cycle >= std::chrono::milliseconds(kReturnStallMs);
  return stalled ? Finish::kStalled : Finish::kTimedOut;
}

}  // namespace vorel_device
