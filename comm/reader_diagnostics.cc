#include "comm/reader_diagnostics.h"

#include "comm/rx_frame.h"

namespace vorel_device {

namespace {

constexpr LineQueue::Channel kStdout = LineQueue::Channel::kStdout;
constexpr std::uint64_t kFrameBytes = RxFrame::kSize;
// Before the first frame, up to two frames' worth of other bytes (the
// sensor's acknowledgements, a frame entered in the middle) is no trouble.
constexpr std::uint64_t kStartSlackBytes = 2 * kFrameBytes;

unsigned long long ull(std::uint64_t value) {
  return static_cast<unsigned long long>(value);
}

// "s" after a count other than 1.
const char* plural(std::uint64_t count) {
  return count == 1 ? "" : "s";
}

int bit(std::uint16_t status, std::uint16_t mask) {
  return (status & mask) ? 1 : 0;
}

}  // namespace

void ReaderDiagnostics::begin(Episode& e, std::int64_t now_ms) {
  e = Episode();
  e.open = true;
  e.first_ms = now_ms;
  e.last_ms = now_ms;
}

void ReaderDiagnostics::endCrc(const char* tail) {
  out_.post(kStdout, "End of wrong CRCs: %llu frame%s in %lld ms%s", ull(crc_.count),
            plural(crc_.count), static_cast<long long>(crc_.last_ms - crc_.first_ms), tail);
  crc_.open = false;
}

void ReaderDiagnostics::endSync(const char* tail) {
  // Bytes passed over, in frames: a frame replaced by garbage is 37 bytes, a
  // single inserted byte none.
  const std::uint64_t frames = (sync_.bytes + kFrameBytes / 2) / kFrameBytes;
  out_.post(
      kStdout,
      "End of lost sync: %llu frame%s skipped (%llu bytes), sync lost %llu time%s, in %lld ms%s",
      ull(frames), plural(frames), ull(sync_.bytes), ull(sync_.count), plural(sync_.count),
      static_cast<long long>(sync_.last_ms - sync_.first_ms), tail);
  sync_.open = false;
}

void ReaderDiagnostics::endFlags(const char* tail) {
  out_.post(kStdout, "End of flagged frames: %llu frame%s in %lld ms%s", ull(flags_.count),
            plural(flags_.count), static_cast<long long>(flags_.last_ms - flags_.first_ms), tail);
  flags_.open = false;
}

bool ReaderDiagnostics::update(const Totals& now, std::int64_t now_ms) {
  bool wrote = false;

  const std::uint64_t crc = now.crc_errors - seen_.crc_errors;
  if (crc > 0) {
    if (!crc_.open) {
      begin(crc_, now_ms);
      out_.post(kStdout, "No valid frame: %llu (wrong CRC)", ull(crc));
      wrote = true;
    }
    crc_.count += crc;
    crc_.last_ms = now_ms;
  } else if (crc_.open && now_ms - crc_.last_ms >= kQuietMs) {
    endCrc("");
    wrote = true;
  }

  const std::uint64_t losses = now.sync_losses - seen_.sync_losses;
  const std::uint64_t skipped = now.bytes_skipped - seen_.bytes_skipped;
  const bool no_start = now.frames == 0 && now.bytes_skipped > kStartSlackBytes;
  if (!sync_.open && (losses > 0 || no_start)) {
    begin(sync_, now_ms);
    if (losses > 0) {
      out_.post(kStdout, "lost sync, trying to reconnect (no frame start where one was expected)");
    } else {
      out_.post(kStdout, "lost sync, trying to reconnect (no frame start in the first %llu bytes)",
                ull(now.bytes_skipped));
      sync_.bytes = now.bytes_skipped - skipped;  // the bytes of earlier cycles as well
    }
    wrote = true;
  }
  if (sync_.open) {
    sync_.count += losses;
    sync_.bytes += skipped;
    if (losses > 0 || skipped > 0 || !now.synced) {
      sync_.last_ms = now_ms;
    } else if (now_ms - sync_.last_ms >= kQuietMs) {
      endSync("");
      wrote = true;
    }
  }

  const std::uint64_t flagged = now.flagged - seen_.flagged;
  if (flagged > 0) {
    if (!flags_.open) {
      begin(flags_, now_ms);
      const std::uint16_t s = now.last_flag_status;
      out_.post(kStdout,
                "No valid forces: status 0x%04X (app_took_too_long %i, overrange %i, "
                "invalid_measurements %i, raw_measurements %i)",
                static_cast<unsigned>(s), bit(s, app_took_too_long), bit(s, overrange),
                bit(s, invalid_measurements), bit(s, raw_measurements));
      wrote = true;
    }
    flags_.count += flagged;
    flags_.last_ms = now_ms;
  } else if (flags_.open && now_ms - flags_.last_ms >= kQuietMs) {
    endFlags("");
    wrote = true;
  }

  seen_ = now;
  return wrote;
}

bool ReaderDiagnostics::finish() {
  const char* tail = " (reader stopped)";
  const bool wrote = crc_.open || sync_.open || flags_.open;
  if (crc_.open)
    endCrc(tail);
  if (sync_.open)
    endSync(tail);
  if (flags_.open)
    endFlags(tail);
  return wrote;
}

}  // namespace vorel_device
