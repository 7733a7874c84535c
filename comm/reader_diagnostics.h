// ReaderDiagnostics: the sensor reader's lines on standard output about the
// line's trouble, one when an episode begins and one when it ends, for each
// of three kinds:
//
//   kind             begins with (first line)                 ends with
//   wrong CRCs       "No valid frame: <n> (wrong CRC)"         "End of wrong CRCs: <frames> frames
//                    n: wrong CRCs in that cycle               in <ms> ms"
//   lost sync        "lost sync, trying to reconnect (...)"    "End of lost sync: <frames> frames
//                                                              skipped (<bytes> bytes), sync lost
//                                                              <n> times, in <ms> ms"
//   flagged frames   "No valid forces: status 0x0004           "End of flagged frames: <frames>
//                    (app_took_too_long 0, overrange 0,        frames in <ms> ms"
//                    invalid_measurements 1,
//                    raw_measurements 0)"
#pragma once

#include <cstdint>

#include "comm/line_queue.h"

namespace vorel_device {

// An episode of a kind begins at its first event (a wrong CRC in sync, a loss
// of synchronisation, a frame with status bits set; before the first frame
// ever, more than two frames' worth of bytes passed over) and ends once
// kQuietMs passed without one (and, for lost sync, with the stream in sync);
// events in between are only counted. <ms> runs from the cycle of the first
// event to that of the last. So a kind writes at most one begin and one end
// line per kQuietMs, and a sensor that stays faulty writes one line. finish()
// ends the open episodes when the reader stops (" (reader stopped)").
//
// Counts come from the reader as totals since its construction; the lines
// are posted to the reader's line queue (standard output, no allocation, no
// wait). Reader thread only, or the owner's thread once the reader's thread
// has stopped.
class ReaderDiagnostics {
 public:
  static constexpr std::int64_t kQuietMs = 1000;

  // The lines go to `out`, which outlives this object.
  explicit ReaderDiagnostics(LineQueue& out) : out_(out) {}

  // What the reader has seen since its construction.
  struct Totals {
    std::uint64_t frames = 0;   // frames with header and correct CRC
    std::uint64_t flagged = 0;  // of them with status bits set
    std::uint16_t last_flag_status = 0;
    std::uint64_t crc_errors = 0;  // wrong CRCs in sync
    std::uint64_t sync_losses = 0;
    std::uint64_t bytes_skipped = 0;  // passed over while out of sync
    bool synced = false;              // now
  };

  // Once per reader cycle with the totals after its drain and the cycle's
  // monotonic time (ms). Returns true when it wrote a line.
  bool update(const Totals& now, std::int64_t now_ms);
  // Writes the end line of every open episode. Returns true when it wrote one.
  bool finish();

 private:
  struct Episode {
    bool open = false;
    std::int64_t first_ms = 0;
    std::int64_t last_ms = 0;
    std::uint64_t count = 0;  // frames (wrong CRC, flagged) or losses (sync)
    std::uint64_t bytes = 0;  // lost sync: bytes passed over
  };

  static void begin(Episode& e, std::int64_t now_ms);
  void endCrc(const char* tail);
  void endSync(const char* tail);
  void endFlags(const char* tail);

  LineQueue& out_;
  Episode crc_;
  Episode sync_;
  Episode flags_;
  Totals seen_;
};

}  // namespace vorel_device
