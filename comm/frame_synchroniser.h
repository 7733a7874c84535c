// FrameSynchroniser: turns the sensor's byte stream into 37-byte frames. The
// bytes read from the port are appended to a fixed buffer (no allocation);
// each attempt checks one whole 37-byte window of bytes actually read, never
// a partly filled one.
//
// Acquiring synchronisation needs a window that starts with 0xAA and carries
// a correct CRC-16/X-25 (bytes 1 to 34 against the little-endian CRC in bytes
// 35 and 36); keeping it needs only the header:
#pragma once

#include <cstddef>
#include <cstdint>

#include "comm/rx_frame.h"

namespace vorel_device {

//   state       window at the expected start          outcome     next
//   synced      0xAA, CRC correct                      frame (1)   the following 37 bytes
//   synced      0xAA, CRC wrong                        CRC (2)     frame starts inside the
//                                                                  window's last 36 bytes,
//                                                                  then the following 37
//   synced      no 0xAA                                lost (3)    search from that byte
//   searching   the next 0xAA whose window is correct  frame (1)   synced
//   searching   bytes without such a window            lost (3)    they are passed over
//
// The search looks at the bytes already read: every 0xAA byte is a candidate
// whose window is checked as soon as all its 37 bytes are in the buffer, so
// the stream is found again at the first frame after the fault, not one byte
// per attempt. After a wrong CRC in sync the window may have been a frame
// shifted by a dropped or inserted byte: a candidate with a correct CRC that
// starts within the next 36 bytes takes over (a loss of synchronisation,
// found again at once); without one, the window right after is expected as
// usual. A dropped, inserted or corrupted byte therefore costs only the frame
// it touched, and the acknowledgements the sensor sends during its
// configuration (no 0xAA in them) are passed over at once.
//
// Counts (since construction, events not bytes): frames accepted, windows
// in sync with a wrong CRC, losses of synchronisation (a missing header, or
// a frame found inside the window after a wrong CRC), and bytes passed over
// while out of sync outside the windows already counted (a window that
// lost synchronisation counts as passed over; bytes / 37 estimates the
// frames lost).
//
// Not thread-safe: the sensor reader's thread alone uses it.
class FrameSynchroniser {
 public:
  // Outcomes of attempt(); the first four are those of readFrame().
  static constexpr int kNoAttempt = 0;
  static constexpr int kFrameOk = 1;     // header and CRC correct; the frame was copied out
  static constexpr int kCrcError = 2;    // in sync (header 0xAA), CRC wrong
  static constexpr int kOutOfSync = 3;   // synchronisation lost, or bytes passed over
  static constexpr int kNeedBytes = -1;  // the next attempt needs missing() more bytes

  static constexpr std::size_t kCapacity = 1024;  // bytes held at most

  struct Counts {
    std::uint64_t frames = 0;         // windows accepted as frames
    std::uint64_t crc_errors = 0;     // windows in sync with header 0xAA and a wrong CRC
    std::uint64_t sync_losses = 0;    // synchronisation lost
    std::uint64_t bytes_skipped = 0;  // bytes passed over while out of sync
  };

  // One attempt on the bytes held. Each checked window is copied to `window`
  // (a frame when the outcome is kFrameOk). kNeedBytes: nothing could be
  // checked; read at least missing() more bytes.
  int attempt(RxFrame& window);
  // Bytes the next attempt lacks (at least 1); meaningful after kNeedBytes.
  std::size_t missing() const;
  // Where to read into, after moving the bytes still needed to the front;
  // `room` receives the free space (at least kCapacity - 73 bytes).
  std::uint8_t* freeSpace(std::size_t& room);
  // `count` bytes were read into freeSpace().
  void added(std::size_t count) { held_ += count; }

  bool isSynced() const { return synced; }
  // Wrong CRCs in sync since synchronisation was last acquired.
  std::int32_t crcErrorCount() const { return crc_error_count; }
  const Counts& counts() const { return counts_; }
  // Bytes read but not yet consumed by an attempt.
  std::size_t heldBytes() const { return held_ - keepFrom(); }
  // Stream offset (bytes since construction) of the last window checked.
  std::uint64_t lastWindowOffset() const { return last_window_; }

 private:
  // Checks the window at `at` (all 37 bytes held) into `window`; true when
  // its header and CRC are correct.
  bool checkWindow(std::size_t at, RxFrame& window);
  // Synchronised on the frame at `at`.
  int accept(std::size_t at);
  // The bytes before `to` are passed over; those beyond the counted
  // windows count as skipped.
  void skipTo(std::size_t to);
  // The first byte still needed.
  std::size_t keepFrom() const { return synced && scan_ < cursor_ ? scan_ : cursor_; }

  bool synced = false;
  std::int32_t crc_error_count = 0;
  Counts counts_;
  std::uint8_t bytes_[kCapacity] = {};
  std::size_t held_ = 0;    // bytes in bytes_
  std::size_t cursor_ = 0;  // synced: the expected frame start; searching: the next byte to look at
  std::size_t scan_ = 0;    // synced after a wrong CRC: next candidate before cursor_
  std::uint64_t base_ = 0;  // stream offset of bytes_[0]
  std::uint64_t counted_ = 0;  // stream offset up to which bytes are counted
  std::uint64_t last_window_ = 0;
};

}  // namespace vorel_device
