// VorelForceTorqueSensorComm: the sensor reader. A periodic worker that owns
// the sensor's serial port while the device is active; every cycle it waits
// on the port until a whole frame is pending (at most its wait bound, 5 ms on
// the device, so a silent line still gives a cycle every 5 ms), then drains
// the bytes pending on the port, finds the 37-byte frames in them (0xAA
// header and CRC-16/X-25), publishes the newest valid frame as "frame" in the
// shared segment and reports trouble on the line once per episode. Before the thread starts, the
// device hands it the open port (setPort) and has it configure the sensor's filter
// (configureFilter).
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

#include "comm/frame_synchroniser.h"
#include "comm/line_queue.h"
#include "comm/reader_diagnostics.h"
#include "comm/rx_frame.h"
#include "comm/sensor_protocol.h"
#include "comm/shared_segment.h"
#include "periodic/periodic_thread.h"
#include "periodic/pi_mutex.h"

namespace vorel_device {

// It also owns the shared segment: the constructor removes stale names and
// creates "VorelFrameSharedMemory", "VorelNamedMutex" and the eighteen named
// objects with their initial values; the destructor unmaps the segment,
// removes the mutex's and the segment's names and releases the mutex handle.
// One reader per segment: it must exist before the facade and the
// force-control thread open the segment, and outlive their use of it.
//
// Synchroniser (readFrame, FrameSynchroniser): the bytes pending on the port
// are read into a fixed buffer; a window is checked only when all its 37
// bytes were read. Sync is acquired on the 0xAA header with a correct
// CRC-16/X-25 and kept on the header alone; out of sync (a missing header, a
// stream entered mid-frame, the sensor's acknowledgements before the first
// frame) the next frame start is searched for in the bytes already read and
// those pending, so a dropped, inserted or corrupted byte costs only the frame
// it touched. A read that fails or brings nothing ends the call.
//
// Pacing (cycleMethod): no pause after a cycle; waitForFrame() waits until
// the bytes the synchroniser lacks for its next attempt (a whole frame, in
// sync) are pending, so with the sensor streaming there is about one cycle
// per frame and a frame is published as soon as its last byte is there. A
// stop request ends the wait within one bound. After a drain whose read
// failed, the wait sleeps out the bound instead: a port that reports bytes
// it does not deliver is not spun on.
//
// One cycle (readSensor):
//   outcome of readFrame (last attempt)          published
//   0 no attempt (not enough bytes)              -
//   1 valid frame (header and CRC)               "frame" (all 37 bytes, whatever the status)
//   2 CRC wrong, in sync                         -
//   3 out of sync (sync lost, bytes passed over) -
// then the diagnostics (ReaderDiagnostics): one line when an episode of wrong
// CRCs, lost sync or flagged frames begins, one when it ends, on standard
// output. Every frame with a correct CRC and status bits set counts as
// flagged, also one that a newer frame of the same cycle replaced.
// last_ft_data takes the six values of a published frame whose status is 0.
// Every readFrame first counts the cycle and stores the count in
// "frame_counter". Each publication adds 1 to the publication count of
// "sensor_health" (how the force-control thread tells a new frame from an
// old one) and stores its status bits; the CRC-error and lost-sync totals
// (events, not bytes) are written with both. A cycle whose wait for the
// named mutex runs out (100 ms) publishes nothing and writes "[ERROR] Sensor
// reader: VorelNamedMutex not acquired within 100 ms; frame not published"
// to the host console, once per episode; the thread goes on.
//
// Threads: readFrame() and everything it calls run on the reader's own
// thread, which alone touches rx_frame, the synchroniser and the
// diagnostics (finishDiagnostics: the owner's, after stop).
// read_counter is atomic; last_ft_data is guarded by data_mutex. Lock order:
// data_mutex, then the named mutex; the named mutex is held only for the
// 37-byte copy of "frame" and the store of "frame_counter", never while
// touching the port or printing. setPort() and configureFilter() are called
// before the thread starts; getFTData() from any thread. The CRC routines
// (SensorProtocol) are pure and may be called from any thread.
class VorelForceTorqueSensorComm : public tmvz_periodic_thread::PeriodicThread,
                                   public SensorProtocol {
 public:
  // Outcomes of readFrame(), describing the last attempt of the call.
  static constexpr int kNoAttempt = FrameSynchroniser::kNoAttempt;  // not enough bytes
  static constexpr int kFrameOk = FrameSynchroniser::kFrameOk;      // rx_frame holds the frame
  static constexpr int kCrcError = FrameSynchroniser::kCrcError;    // in sync, CRC wrong
  static constexpr int kOutOfSync = FrameSynchroniser::kOutOfSync;  // sync lost, bytes passed over

  // A byte stream held in memory, for feeding readFrameFrom() without a port
  // (tests, benchmarks, fuzzing). available() and read() behave like the
  // port's input-queue query and read() on the bytes not yet consumed.
  struct MemorySource {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;

    int available() const { return static_cast<int>(size - pos); }
    ssize_t read(std::uint8_t* buf, std::size_t len) {
      const std::size_t n = len < size - pos ? len : size - pos;
      if (n > 0)
        std::memcpy(buf, data + pos, n);
      pos += n;
      return static_cast<ssize_t>(n);
    }
  };

  // wait_bound_ms: the longest wait for a frame per cycle, ms (the device
  // uses 5); the base pauses 0 ms after a cycle. Removes the
  // names "VorelFrameSharedMemory" and "VorelNamedMutex" left by an earlier
  // (or crashed) process, then creates the segment (131072 bytes, 0644), the
  // named mutex (0644, unlocked) and the eighteen objects with their initial
  // values. Throws boost::interprocess::interprocess_exception when any of it
  // fails; both names are then removed again.
  explicit VorelForceTorqueSensorComm(int wait_bound_ms);
  // Requests the stop and joins a thread still held before any member goes
  // (the device stops it with stop() first). Then unmaps the segment, removes
  // the mutex's and the segment's names and releases the mutex handle; a
  // facade or force-control thread that still has the segment mapped keeps
  // working on the unlinked memory. The port is not closed: it belongs to the
  // device.
  ~VorelForceTorqueSensorComm() override;

  // Does nothing.
  void initMethod() override;
  // One reader cycle: waitForFrame(), then readSensor().
  void cycleMethod() override;
  // Writes the lines the cycles left queued (owner's thread, after stop()).
  void afterStop() override;
  // Waits until every line queued so far is written (owner's thread).
  void flushLines() { lines.flush(); }

  // Stores the descriptor of the opened serial port. Before start() only.
  void setPort(int& fd);

  // Waits on the port until the synchroniser's next attempt can be made (a
  // whole frame pending), at most waitBoundMs(); see Pacing above.
  void waitForFrame();
  int waitBoundMs() const { return wait_bound_ms; }

  // One cycle: readFrame(), then the publication and the diagnostics of the
  // table above. Its lines are queued, not written (see LineQueue).
  void readSensor();
  // Writes the end line of each open diagnostic episode (" (reader
  // stopped)") and waits until every queued line is written. Owner's
  // thread, after stop() returned true.
  void finishDiagnostics();

  // The last valid measurement (status 0): force x, y, z (N), torque x, y, z
  // (N m), sensor frame. Prints "Read frames: <cycles since the last call>"
  // and restarts that count. Any thread.
  void getFTData(double (&out)[6]);

  // Sends the sensor its measurement filter for a sampling rate `rate` in Hz:
  // "C" (configuration mode), the filter command ("f,86,0,0,1" for
  // rate >= 500, "f,172,0,0,1" for 250 <= rate < 500, "f,430,0,0,1" below 250
  // and for NaN), "s" (save) and "R" (run mode), each written with one write
  // and without pauses; the first three are each followed by one
  // waitForAcknowledgement(). Returns false (and sends nothing more) when a
  // check fails, true when "R" was written. Prints its progress on standard
  // output. Device thread, before start(): the reader must not be running.
  bool configureFilter(double rate);
  // The sampling rate (Hz) for a sensor frequency (Hz): 500 from 500 up, 250
  // from 250 up, else 100 (NaN included); configureFilter's choice.
  static double samplingRateFor(double frequency);
  // One check for an acknowledgement, without waiting: when 7 or more bytes
  // are pending, reads exactly 7 and discards them (whatever they are). Returns
  // false, after printing "Error reading from port", only when that read
  // fails; true otherwise (also when fewer than 7 bytes are pending).
  bool waitForAcknowledgement();

  // Cycle bookkeeping, then drains the bytes pending on the port and returns
  // the outcome of the last attempt (kNoAttempt .. kOutOfSync). Only the last
  // attempt counts: earlier frames of the same call are overwritten. Never
  // blocks on the port: reads only what the input-queue query reports, and
  // only when the next attempt can then be made.
  int readFrame();

  // The drain loop of readFrame() over any byte source with
  // `int available()` and `ssize_t read(std::uint8_t*, std::size_t)`, without
  // the cycle bookkeeping. Leaves at once (and between attempts) when
  // stop_requested is set; the bytes already read stay for the next call.
  template <typename Source>
  int readFrameFrom(Source& source);

  // CRC-16/X-25 of rx_frame's 34 payload bytes against its crc field.
  bool isCrcOk() const;

  // Bytes pending in the port's input queue; 0 when the query fails.
  int serialAvailable();
  // One read of up to len bytes from the port; what read returns (negative on
  // error).
  int serialReadBytes(std::uint8_t* buf, std::size_t len);

  // True when the frame's whole 16-bit status is 0: any set bit, named or
  // not, marks its forces as invalid.
  static bool hasValidForces(const RxFrame& frame) { return frame.status == 0; }

  // Reader-thread state, for tests and diagnostics: read it while the thread
  // is not running.
  // rx_frame: the last window checked.
  const RxFrame& rxFrame() const { return rx_frame; }
  bool isSynced() const { return synchroniser.isSynced(); }
  // Wrong CRCs in sync since synchronisation was last acquired.
  std::int32_t crcErrorCount() const { return synchroniser.crcErrorCount(); }
  const FrameSynchroniser& frameSynchroniser() const { return synchroniser; }
  // Frames with a correct CRC and status bits set, since construction.
  std::uint64_t flaggedFrames() const { return flagged_frames; }
  // Reader cycles (calls of readFrame) since construction. Any thread.
  std::int32_t readCounter() const { return read_counter.load(); }

 protected:
  // Monotonic time, ms, that the diagnostics' episodes are measured with
  // (steady clock); a test may put its own clock in.
  static std::int64_t monotonicMs();
  std::int64_t (*clock_ms)() = &monotonicMs;

 private:
  // The serial port as a byte source for the drain loop. The first
  // available() gives `known` when the wait has just counted the bytes
  // pending (-1: it asks the port).
  struct PortSource {
    VorelForceTorqueSensorComm& comm;
    int known;
    int available() { return known >= 0 ? std::exchange(known, -1) : comm.serialAvailable(); }
    ssize_t read(std::uint8_t* buf, std::size_t len) { return comm.serialReadBytes(buf, len); }
  };

  // First step of every readFrame(): counts the cycle and stores the count
  // in "frame_counter".
  void countCycle();
  // Copies rx_frame into "frame" and, when its status is 0, its values into
  // last_ft_data.
  void publishFrame();
  // One write of `text` to the port; the result is not examined.
  void sendCommand(const char* text);

  // Writes the CRC-error and lost-sync totals into the shared health record;
  // named mutex held by the caller.
  void writeCounters(SensorHealth& health) const;

  // Synchroniser state and the byte buffer (reader thread only). Its counts
  // since construction (one reader per activation) are published in
  // "sensor_health": wrong CRCs in sync, and losses of synchronisation.
  FrameSynchroniser synchroniser;
  // The cycle's lines, written by the queue's own thread of normal priority
  // so that a slow console never holds the reader up.
  LineQueue lines;
  ReaderDiagnostics diagnostics{lines};
  std::uint64_t flagged_frames = 0;  // frames with a correct CRC and status bits set
  std::uint16_t last_flag_status = 0;
  bool lock_failed = false;  // the last cycle missed the named mutex
  bool read_failed = false;  // the last drain ended on a read that failed
  int pending_seen = -1;     // bytes the wait saw pending, for the next drain; -1: none
  // The longest wait for a frame per cycle, ms; set once by the constructor.
  const int wait_bound_ms;
  // The last valid measurement: force x, y, z (N), torque x, y, z (N m), in
  // the sensor frame. Guarded by data_mutex.
  double last_ft_data[6];
  // With priority inheritance: a reader that waits for a getFTData() of a
  // normal-priority thread waits for its copy of six values, no longer.
  tmvz_periodic_thread::PiMutex data_mutex;
  // Handle to the named mutex "VorelNamedMutex", the lock of every shared
  // object. Created in the constructor's body, after the guard below has
  // removed stale names; released last.
  boost::shared_ptr<shared_segment::Mutex> segment_mutex;
  // Removes both names before the segment and the mutex are created, and again
  // on destruction, after the segment (declared last) has been unmapped and
  // before segment_mutex is released.
  shared_segment::RemovalGuard removal_guard;
  // The last 37-byte window checked as a frame.
  RxFrame rx_frame;
  // Addresses of the eighteen named objects in this process's mapping.
  shared_segment::Objects objects;
  // Descriptor of the open serial port (owned by the device); -1 until setPort.
  int port_fd;
  // Reader cycles since construction, or since the last getFTData().
  std::atomic<std::int32_t> read_counter;
  // "VorelFrameSharedMemory", 131072 bytes, created by the constructor.
  shared_segment::Segment segment;
};

template <typename Source>
int VorelForceTorqueSensorComm::readFrameFrom(Source& source) {
  int result = kNoAttempt;
  read_failed = false;
  while (!stop_requested.load()) {
    const int outcome = synchroniser.attempt(rx_frame);
    if (outcome != FrameSynchroniser::kNeedBytes) {
      result = outcome;
      if (outcome == kFrameOk && !hasValidForces(rx_frame)) {
        ++flagged_frames;
        last_flag_status = rx_frame.status;
      }
      continue;
    }
    // Read only when the next attempt can then be made: what is pending
    // completes the window (or candidate) the synchroniser waits for.
    const int pending = source.available();
    if (pending <= 0 || static_cast<std::size_t>(pending) < synchroniser.missing())
      return result;
    std::size_t room = 0;
    std::uint8_t* space = synchroniser.freeSpace(room);
    const ssize_t got = source.read(space, std::min(static_cast<std::size_t>(pending), room));
    // A read that fails or brings nothing ends the call: a failing port is
    // not spun on. Bytes a short read brought are the stream's, in order.
    if (got <= 0) {
      read_failed = true;
      return result;
    }
    synchroniser.added(static_cast<std::size_t>(got));
  }
  return result;
}

}  // namespace vorel_device
