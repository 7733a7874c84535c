// The device's end of the sensor emulator's pseudo-terminal, opened and read
// as the device reads its port (raw 8N1; FIONREAD, then read), and the
// received bytes cut into frames and acknowledgements.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "comm/rx_frame.h"
#include "comm/sensor_protocol.h"
#include "comm/serial_port.h"
#include "tests/support/poll_until.h"

namespace vorel_sim_test {

using vorel_device::RxFrame;
namespace serial_port = vorel_device::serial_port;

inline bool crcOk(const RxFrame& frame) {
  return vorel_device::SensorProtocol::crc16_x25(frame.data(), RxFrame::kDataSize) == frame.crc;
}

// A stream of whole frames and acknowledgements: `shape` holds 'F' per frame
// (any CRC), the command letter per "ACK x\r\n", '?' per other byte. A
// trailing incomplete piece is left out.
struct Cut {
  std::string shape;
  std::vector<RxFrame> frames;
};

inline Cut cut(const std::vector<std::uint8_t>& b) {
  Cut c;
  for (std::size_t i = 0; i < b.size();) {
    const std::size_t piece = b[i] == RxFrame::kHeader ? RxFrame::kSize : (b[i] == 'A' ? 7 : 1);
    if (i + piece > b.size())
      break;
    const std::string text(b.begin() + i, b.begin() + i + piece);
    if (piece == RxFrame::kSize) {
      c.frames.emplace_back();
      std::memcpy(&c.frames.back(), text.data(), RxFrame::kSize);
    } else if (piece != 7 || text.compare(0, 4, "ACK ") != 0 || text.compare(5, 2, "\r\n") != 0) {
      c.shape += '?';
      ++i;
      continue;
    }
    c.shape += piece == 7 ? text[4] : 'F';
    i += piece;
  }
  return c;
}

class SensorLine {
 public:
  explicit SensorLine(const std::string& path) : fd_(serial_port::openAndConfigure(path)) {}
  ~SensorLine() { serial_port::close(fd_); }
  SensorLine(const SensorLine&) = delete;
  SensorLine& operator=(const SensorLine&) = delete;

  bool send(const std::string& text) {
    return serial_port::write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  // Reads what arrives until `done()` holds; false when the hang guard ran out.
  bool readUntil(const std::function<bool()>& done) {
    return vorel_test::pollUntil([&] {
      const int pending = serial_port::pending(fd_);
      if (pending > 0) {
        const std::size_t old = bytes.size();
        bytes.resize(old + static_cast<std::size_t>(pending));
        const ssize_t n = serial_port::read(fd_, &bytes[old], static_cast<std::size_t>(pending));
        bytes.resize(old + static_cast<std::size_t>(n > 0 ? n : 0));
      }
      return done();
    });
  }

  std::vector<std::uint8_t> bytes;

 private:
  int fd_;
};

}  // namespace vorel_sim_test
