// SlaveLine: the device's end of the emulator's line, opened and read exactly
// as the device reads its port (comm/serial_port: raw 8N1, VTIME 10, VMIN 0;
// FIONREAD, then read), plus a splitter that cuts the received bytes into
// frames, acknowledgements and other bytes.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "comm/rx_frame.h"
#include "comm/sensor_protocol.h"
#include "comm/serial_port.h"
#include "sim/sensor/sensor_emulator.h"

namespace vorel_sim_test {

using vorel_device::RxFrame;
using vorel_sim::SensorEmulator;
namespace serial_port = vorel_device::serial_port;

// Guard against a hanging test: waits that should end in milliseconds fail
// after this.
constexpr std::chrono::seconds kGuard{10};

// Packed fields read by value (a reference to them would be misaligned).
inline float ftAt(const RxFrame& frame, int i) {
  return frame.ft_data[i];
}
inline std::uint16_t statusOf(const RxFrame& frame) {
  return frame.status;
}

inline bool crcOk(const RxFrame& frame) {
  return vorel_device::SensorProtocol::crc16_x25(frame.data(), RxFrame::kDataSize) == frame.crc;
}

// One piece of the received stream.
struct LineItem {
  enum class Kind { frame, ack, other };
  Kind kind = Kind::other;
  RxFrame frame{};         // kind frame: the 37 bytes (CRC right or wrong)
  char ack = 0;            // kind ack: the command letter
  std::uint8_t byte = 0;   // kind other
  std::size_t offset = 0;  // position in the stream
};

// Cuts a stream that holds only whole frames (header 0xAA) and
// acknowledgements ("ACK x\r\n"); anything else becomes single `other`
// bytes. A trailing incomplete piece is left out.
inline std::vector<LineItem> splitLine(const std::vector<std::uint8_t>& bytes) {
  std::vector<LineItem> items;
  std::size_t i = 0;
  while (i < bytes.size()) {
    LineItem item;
    item.offset = i;
    const std::size_t left = bytes.size() - i;
    if (bytes[i] == RxFrame::kHeader) {
      if (left < RxFrame::kSize)
        break;
      item.kind = LineItem::Kind::frame;
      std::memcpy(&item.frame, &bytes[i], RxFrame::kSize);
      i += RxFrame::kSize;
    } else if (bytes[i] == 'A') {
      if (left < SensorEmulator::kAckSize)
        break;
      const std::string text(bytes.begin() + i, bytes.begin() + i + SensorEmulator::kAckSize);
      if (text.compare(0, 4, "ACK ") == 0 && text.compare(5, 2, "\r\n") == 0) {
        item.kind = LineItem::Kind::ack;
        item.ack = text[4];
        i += SensorEmulator::kAckSize;
      } else {
        item.byte = bytes[i++];
      }
    } else {
      item.byte = bytes[i++];
    }
    items.push_back(item);
  }
  return items;
}

// Offsets of the frames with header 0xAA and a correct CRC in a stream that
// may hold anything: a window that matches is taken whole, otherwise the scan
// moves on by one byte.
inline std::vector<std::size_t> validFrameOffsets(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::size_t> offsets;
  std::size_t i = 0;
  while (i + RxFrame::kSize <= bytes.size()) {
    RxFrame frame;
    std::memcpy(&frame, &bytes[i], RxFrame::kSize);
    if (frame.header == RxFrame::kHeader && crcOk(frame)) {
      offsets.push_back(i);
      i += RxFrame::kSize;
    } else {
      ++i;
    }
  }
  return offsets;
}

inline std::vector<RxFrame> framesOf(const std::vector<LineItem>& items) {
  std::vector<RxFrame> frames;
  for (const LineItem& item : items) {
    if (item.kind == LineItem::Kind::frame)
      frames.push_back(item.frame);
  }
  return frames;
}

inline std::string acksOf(const std::vector<LineItem>& items) {
  std::string acks;
  for (const LineItem& item : items) {
    if (item.kind == LineItem::Kind::ack)
      acks.push_back(item.ack);
  }
  return acks;
}

class SlaveLine {
 public:
  explicit SlaveLine(const std::string& path) : fd_(serial_port::openAndConfigure(path)) {}
  ~SlaveLine() { serial_port::close(fd_); }
  SlaveLine(const SlaveLine&) = delete;
  SlaveLine& operator=(const SlaveLine&) = delete;

  int fd() const { return fd_; }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  void clear() { bytes_.clear(); }

  // Writes `text` in one write, as the device sends a command.
  bool send(const std::string& text) {
    return serial_port::write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // Reads what is pending, as the device does (FIONREAD, then one read);
  // returns the number of bytes read.
  std::size_t readPending() {
    const int pending = serial_port::pending(fd_);
    if (pending <= 0)
      return 0;
    const std::size_t old = bytes_.size();
    bytes_.resize(old + static_cast<std::size_t>(pending));
    const ssize_t n =
        serial_port::read(fd_, bytes_.data() + old, static_cast<std::size_t>(pending));
    bytes_.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }

  // Reads until `done(bytes())` holds; false when the guard ran out first.
  bool readUntil(const std::function<bool(const std::vector<std::uint8_t>&)>& done,
                 std::chrono::milliseconds guard = kGuard) {
    const auto give_up = std::chrono::steady_clock::now() + guard;
    while (!done(bytes_)) {
      if (std::chrono::steady_clock::now() > give_up)
        return false;
      pollfd pfd{fd_, POLLIN, 0};
      ::poll(&pfd, 1, 20);
      readPending();
    }
    return true;
  }

  bool readAtLeast(std::size_t count) {
    return readUntil([count](const std::vector<std::uint8_t>& b) { return b.size() >= count; });
  }

  // Reads until `count` frames (whole, any CRC) follow the start of the
  // stream in a clean frame/ack stream.
  bool readFrames(std::size_t count) {
    return readUntil([count](const std::vector<std::uint8_t>& b) {
      return framesOf(splitLine(b)).size() >= count;
    });
  }

  // Reads until the acknowledgement letters received so far end with `acks`.
  bool readAcks(const std::string& acks) {
    return readUntil([&acks](const std::vector<std::uint8_t>& b) {
      const std::string got = acksOf(splitLine(b));
      return got.size() >= acks.size() &&
             got.compare(got.size() - acks.size(), acks.size(), acks) == 0;
    });
  }

 private:
  int fd_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace vorel_sim_test
