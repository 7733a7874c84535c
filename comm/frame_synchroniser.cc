#include "comm/frame_synchroniser.h"

#include <cstring>

#include "comm/sensor_protocol.h"

namespace vorel_device {

namespace {

constexpr std::size_t kFrame = RxFrame::kSize;

// The first 0xAA in [from, to), or `to`.
std::size_t findHeader(const std::uint8_t* bytes, std::size_t from, std::size_t to) {
  if (from >= to)
    return to;
  const void* hit = std::memchr(bytes + from, RxFrame::kHeader, to - from);
  return hit ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - bytes) : to;
}

}  // namespace

bool FrameSynchroniser::checkWindow(std::size_t at, RxFrame& window) {
  std::memcpy(window.bytes(), bytes_ + at, kFrame);
  last_window_ = base_ + at;
  const std::uint16_t received = window.crc;  // little-endian on the wire and in memory
  return window.header == RxFrame::kHeader &&
         SensorProtocol::crc16_x25(window.data(), RxFrame::kDataSize) == received;
}

int FrameSynchroniser::accept(std::size_t at) {
  if (!synced)
    crc_error_count = 0;
  synced = true;
  cursor_ = at + kFrame;
  scan_ = cursor_;
  if (counted_ < base_ + cursor_)
    counted_ = base_ + cursor_;
  ++counts_.frames;
  return kFrameOk;
}

void FrameSynchroniser::skipTo(std::size_t to) {
  const std::uint64_t end = base_ + to;
  const std::uint64_t from = base_ + cursor_ > counted_ ? base_ + cursor_ : counted_;
  if (end > from) {
    counts_.bytes_skipped += end - from;
    counted_ = end;
  }
  cursor_ = to;
}

int FrameSynchroniser::attempt(RxFrame& window) {
  if (synced) {
    // After a wrong CRC: a frame that starts inside the window's last 36
    // bytes means the stream shifted (a dropped or inserted byte).
    while (scan_ < cursor_) {
      const std::size_t candidate = findHeader(bytes_, scan_, cursor_);
      if (candidate == cursor_) {
        scan_ = cursor_;
        break;
      }
      if (candidate + kFrame > held_) {
        scan_ = candidate;
        return kNeedBytes;
      }
      if (checkWindow(candidate, window)) {
        ++counts_.sync_losses;
        return accept(candidate);
      }
      scan_ = candidate + 1;
    }
    if (cursor_ + kFrame > held_)
      return kNeedBytes;
    const bool valid = checkWindow(cursor_, window);
    if (window.header != RxFrame::kHeader) {
      // Lost: the search starts at this byte, which counts as passed over.
      synced = false;
      ++counts_.sync_losses;
      return kOutOfSync;
    }
    if (valid)
      return accept(cursor_);
    ++crc_error_count;
    ++counts_.crc_errors;
    scan_ = cursor_ + 1;
    cursor_ += kFrame;
    if (counted_ < base_ + cursor_)
      counted_ = base_ + cursor_;
    return kCrcError;
  }

  const std::size_t candidate = findHeader(bytes_, cursor_, held_);
  if (candidate + kFrame > held_) {
    if (candidate == cursor_)
      return kNeedBytes;  // nothing to pass over: wait for the candidate's window
    skipTo(candidate);
    return kOutOfSync;
  }
  const bool valid = checkWindow(candidate, window);
  skipTo(valid ? candidate : candidate + 1);
  return valid ? accept(candidate) : kOutOfSync;
}

std::size_t FrameSynchroniser::missing() const {
  const std::size_t from = keepFrom();
  return from + kFrame > held_ ? from + kFrame - held_ : 1;
}

std::uint8_t* FrameSynchroniser::freeSpace(std::size_t& room) {
  const std::size_t keep = keepFrom();
  if (keep > 0) {
    std::memmove(bytes_, bytes_ + keep, held_ - keep);
    held_ -= keep;
    cursor_ -= keep;
    scan_ -= keep < scan_ ? keep : scan_;
    base_ += keep;
  }
  room = kCapacity - held_;
  return bytes_ + held_;
}

}  // namespace vorel_device
