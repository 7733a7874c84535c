// SensorEmulator: plays the six-axis force/torque sensor at the far end of a
// serial line, on a pseudo-terminal. The device opens `slavePath()` as its
// serial port and sees what a real sensor sends:
//
// - In run mode, 37-byte measurement frames (vorel_device::RxFrame: header
//   0xAA, status, six float32 values, 8 extra bytes, CRC-16/X-25 of bytes 1 to
//   34), paced by absolute deadlines on CLOCK_MONOTONIC at the rate the filter
//   setting selects. A sender that falls behind by a whole period does not
//   send the missed frames in a burst: its schedule restarts one period after
//   the late frame (counted in `late_ticks`); and no frame follows a late one
//   closer than the 803 us that a 37-byte frame takes on a 460800 baud line.
//
//     filter command    rate
//     (none yet)        500 Hz (period 2000 us)
//     "f,86,0,0,1"      500 Hz (period 2000 us)
//     "f,172,0,0,1"     250 Hz (period 4000 us)
//     "f,430,0,0,1"     100 Hz (period 10000 us)
//
//   The first value selects the rate; a filter command with any other first
//   value is logged and acknowledged and leaves the rate unchanged.
//
// - The configuration commands of the device (see SensorCommandParser): "C"
//   enters configuration mode (streaming stops: no frame follows the
//   acknowledgement of "C"), "f,..." sets the filter, "s" saves it, "R"
//   returns to run mode (the first frame follows one period after the
//   acknowledgement of "R"). Each command is answered with one 7-byte
//   acknowledgement, ASCII "ACK " + the command letter + CR LF:
//
//     "C" -> "ACK C\r\n"   "f,..." -> "ACK f\r\n"   "s" -> "ACK s\r\n"   "R" -> "ACK R\r\n"
//
//   Acknowledgements never split a frame. Unknown bytes are ignored.
//
// The 8 extra bytes of every frame carry its stamp, little-endian:
//
//   frame offset  type    content
//   27..30        uint32  sequence number: 0 for the first frame, +1 per
//                         frame time in run mode; a frame time spent on
//                         garbage, a frame cut off by a full line, or one
//                         dropped because "C" or stop() came while the
//                         provider ran (or because it threw), leaves a gap
//   31..34        uint32  send time: CLOCK_MONOTONIC in microseconds modulo
//                         2^32, taken when the frame is built
//
// so that a receiver computes latency as monotonicMicros() - send_time_us in
// uint32 arithmetic.
//
// Wrench and status come from the caller: a fixed wrench (`setWrench`) or a
// provider called once per frame with the frame's time (`setWrenchProvider`),
// and a status word (`setStatus`). Wrench components are converted to float32
// (force x, y, z in N, torque x, y, z in N m, sensor frame); values beyond
// the float range become +/-infinity, NaN is sent as NaN.
//
// While the device has the port closed, frames wait in the pseudo-terminal's
// buffer (some tens of kilobytes, about 3 s at 500 Hz); what does not fit is
// lost (`bytes_lost`), never blocking the emulator. A device that opens the
// port later first reads those older frames.
//
// Faults on request (FaultInjector, seeded): wrong CRCs, dropped and inserted
// bytes, garbage, status-flagged frames, a NaN frame, hang-up.
// `faults_injected` counts fault events: one per corrupted, flagged or NaN
// frame, per dropped byte, per inserted byte and per garbage write.
//
// Lifecycle:
//
//   state     call          effect
//   created   start()       threads run; streaming if in run mode
//   running   stop()        threads joined; the line stays open
//   stopped   start()       resumes; sequence, mode and rate carry on
//   any       hangUp()      threads joined, master closed: the device's port
//                           sees a hang-up; start() returns false from then on
//   any       ~SensorEmulator()  stop(), then both ends closed
//
// Threads: a sender thread (frames) and a command thread (reads and answers
// commands). Every public operation is thread-safe, except that stop(),
// hangUp() and the destructor must not be called from the wrench provider.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "comm/rx_frame.h"
#include "filters/wrench.h"
#include "sim/sensor/fault_injector.h"
#include "sim/sensor/pseudo_terminal.h"
#include "sim/sensor/sensor_command_parser.h"

namespace vorel_sim {

class SensorEmulator {
 public:
  using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC
  // Called on the sender thread once per frame, without any emulator lock
  // held, with the frame's time (its send time); returns the wrench to send.
  // When it throws a std::exception, that frame is not sent (a gap in the
  // sequence) and the message goes to standard error.
  using WrenchProvider = std::function<vorel_device::Wrench(Clock::time_point frame_time)>;
  using FilterSetting = std::array<std::uint32_t, 4>;

  static constexpr std::size_t kAckSize = 7;
  static constexpr double kDefaultRateHz = 500.0;
  // An idle line this long ends the last number of a filter command.
  static constexpr std::chrono::milliseconds kCommandIdle{5};

  struct FrameStamp {
    std::uint32_t sequence = 0;
    std::uint32_t send_time_us = 0;  // CLOCK_MONOTONIC, microseconds modulo 2^32
  };

  // Counters since construction. Bytes are those the line accepted.
  struct Counters {
    std::uint64_t frames_sent = 0;      // frames put on the line (faulty ones included)
    std::uint64_t bytes_sent = 0;       // every byte: frames, acknowledgements, garbage
    std::uint64_t faults_injected = 0;  // fault events (see header comment)
    std::uint64_t crc_errors = 0;       // frames sent with a wrong CRC
    std::uint64_t bytes_dropped = 0;    // frame bytes left out
    std::uint64_t bytes_inserted = 0;   // random bytes put into frames
    std::uint64_t garbage_bytes = 0;    // random bytes sent as garbage
    std::uint64_t acks_sent = 0;        // acknowledgements
    std::uint64_t bytes_lost = 0;       // bytes the full line did not accept
    std::uint64_t late_ticks = 0;       // schedule restarts after falling behind
    std::uint64_t ignored_bytes = 0;    // received bytes that were no command
    std::uint64_t status_frames = 0;    // frames sent with fault status bits
    std::uint64_t nan_frames = 0;       // frames sent with fz = NaN
  };

  // Opens the pseudo-terminal pair (throws std::system_error when it cannot).
  // `seed` drives the fault generator.
  explicit SensorEmulator(std::uint64_t seed = 1);
  ~SensorEmulator();
  SensorEmulator(const SensorEmulator&) = delete;
  SensorEmulator& operator=(const SensorEmulator&) = delete;

  // Path the device opens as its serial port, e.g. "/dev/pts/7".
  const std::string& slavePath() const { return pty_.slavePath(); }

  // Starts the sender and command threads. Returns false when they already
  // run or the line is hung up.
  bool start();
  // From the next start(): the sender thread runs with SCHED_FIFO at
  // `priority` (0, the default: normal scheduling), as a real sensor's
  // stream does not wait for the host's CPU. senderPriority(): what it got
  // (0: normal scheduling, also when the system refused).
  void setSenderPriority(int priority);
  int senderPriority() const { return sender_priority_.load(); }
  // Stops and joins both threads (within about one frame period); does
  // nothing when they do not run.
  void stop();
  bool running() const { return running_.load(); }

  // The wrench sent while no provider is set (initially all 0).
  void setWrench(const vorel_device::Wrench& wrench);
  vorel_device::Wrench wrench() const;
  // Sets the provider; an empty function returns to the fixed wrench.
  void setWrenchProvider(WrenchProvider provider);
  // The status word of the frames (0: valid measurement; bits per
  // vorel_device::RxFrameStatus).
  void setStatus(std::uint16_t status);
  std::uint16_t status() const;

  bool inConfigMode() const;
  // Frame rate selected by the filter setting, in Hz.
  double rateHz() const;
  // The last filter setting received ({86, 0, 0, 1} before any).
  FilterSetting filterSetting() const;
  // The setting stored by the last "s"; empty before the first.
  std::optional<FilterSetting> savedFilterSetting() const;
  // The commands received so far, as received: "C", "f,86,0,0,1", "s", "R".
  std::vector<std::string> commandLog() const;
  // Waits until at least `count` commands were received; false on time-out.
  bool waitForCommands(std::size_t count, std::chrono::milliseconds timeout) const;

  // Faults. Probabilities outside [0, 1] (or NaN) throw std::invalid_argument.
  void corruptNextCrcs(std::uint32_t frames);
  void setCrcErrorProbability(double p);
  void setByteDropProbability(double p);
  void setByteInsertProbability(double p);
  // `bytes` random bytes, sent at the next frame time in run mode, before
  // that frame.
  void sendGarbage(std::size_t bytes);
  // From now for `duration`, every frame time in run mode sends 37 random
  // bytes instead of the frame (its sequence number is skipped).
  void sendGarbageFor(std::chrono::milliseconds duration);
  // Status bits `bits` (and FaultInjector::kBadWrench) on each frame with
  // probability p (0: off); the CRC stays valid.
  void setStatusFault(std::uint16_t bits, double p);
  // The next frame carries fz = NaN, with a valid CRC.
  void sendNanFrame();
  // Turns off every fault above (a hang-up stays).
  void clearFaults();
  // Closes the master: see the lifecycle table. Cannot be undone; a new
  // emulator (with a new slave path) is needed to talk again.
  void hangUp();
  bool hungUp() const { return hung_up_.load(); }

  Counters counters() const;
  std::uint64_t framesSent() const { return frames_sent_.load(); }
  std::uint64_t bytesSent() const { return bytes_sent_.load(); }
  std::uint64_t faultsInjected() const { return faults_injected_.load(); }

  // The 7-byte acknowledgement of a command letter ('C', 'f', 's', 'R').
  static std::array<std::uint8_t, kAckSize> acknowledgement(char command);
  // A complete frame with a correct CRC.
  static vorel_device::RxFrame makeFrame(const vorel_device::Wrench& wrench, std::uint16_t status,
                                         FrameStamp stamp);
  // The stamp in a frame's extra bytes.
  static FrameStamp decodeStamp(const vorel_device::RxFrame& frame);
  static FrameStamp decodeStamp(const std::uint8_t (&extra)[8]);
  // CLOCK_MONOTONIC now, in microseconds modulo 2^32 (the send-time clock).
  static std::uint32_t monotonicMicros();
  // The frame rate a filter setting selects, or 0 for an unknown setting.
  static double rateForFilter(const FilterSetting& setting);

 private:
  void senderLoop();
  void commandLoop();
  void handleCommand(const SensorCommand& command);
  // Writes `bytes` to the line and counts them; `mutex_` held.
  void sendLocked(const std::vector<std::uint8_t>& bytes);
  void joinThreads();
  void joinThreadsLocked();  // lifecycle_mutex_ held

  PseudoTerminal pty_;

  mutable std::mutex mutex_;  // everything below up to the counters, and the line
  mutable std::condition_variable changed_;
  bool stop_requested_ = false;
  bool config_mode_ = false;
  std::int64_t period_ns_ = 2000000;
  FilterSetting filter_{{86, 0, 0, 1}};
  std::optional<FilterSetting> saved_filter_;
  std::vector<std::string> command_log_;
  vorel_device::Wrench wrench_;
  std::shared_ptr<const WrenchProvider> provider_;
  std::uint16_t status_ = 0;
  std::uint32_t sequence_ = 0;
  std::uint64_t run_epoch_ = 0;  // +1 at every return to run mode
  FaultInjector faults_;
  std::size_t garbage_pending_ = 0;
  Clock::time_point garbage_until_{};
  SensorCommandParser parser_;  // command thread only
  std::vector<std::uint8_t> out_;

  std::atomic<bool> running_{false};
  std::atomic<bool> hung_up_{false};
  std::atomic<std::uint64_t> frames_sent_{0};
  std::atomic<std::uint64_t> bytes_sent_{0};
  std::atomic<std::uint64_t> faults_injected_{0};
  std::atomic<std::uint64_t> crc_errors_{0};
  std::atomic<std::uint64_t> bytes_dropped_{0};
  std::atomic<std::uint64_t> bytes_inserted_{0};
  std::atomic<std::uint64_t> garbage_bytes_{0};
  std::atomic<std::uint64_t> acks_sent_{0};
  std::atomic<std::uint64_t> bytes_lost_{0};
  std::atomic<std::uint64_t> late_ticks_{0};
  std::atomic<std::uint64_t> ignored_bytes_{0};
  std::atomic<std::uint64_t> status_frames_{0};
  std::atomic<std::uint64_t> nan_frames_{0};

  std::atomic<std::thread::id> sender_id_{};
  std::mutex lifecycle_mutex_;  // start, stop, hangUp; guards the request below
  int requested_sender_priority_ = 0;
  std::atomic<int> sender_priority_{0};
  std::thread sender_;
  std::thread commander_;
};

}  // namespace vorel_sim
