// 37-byte sensor frames for the tests, with their CRC-16/X-25 computed by a
// table-driven routine of the tests' own (independent of the bit-by-bit
// routines under test).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "comm/rx_frame.h"

namespace vorel_test {

using Bytes = std::vector<std::uint8_t>;
using vorel_device::RxFrame;

// CRC-16/X-25 by a 256-entry table of the reflected polynomial 0x8408.
inline std::uint16_t tableCrcX25(const std::uint8_t* data, std::size_t len) {
  static const std::array<std::uint16_t, 256> table = [] {
    std::array<std::uint16_t, 256> t{};
    for (unsigned n = 0; n < 256; ++n) {
      std::uint16_t r = static_cast<std::uint16_t>(n);
      for (int k = 0; k < 8; ++k)
        r = (r & 1) ? static_cast<std::uint16_t>((r >> 1) ^ 0x8408) : r >> 1;
      t[n] = r;
    }
    return t;
  }();
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < len; ++i)
    crc = static_cast<std::uint16_t>((crc >> 8) ^ table[(crc ^ data[i]) & 0xFF]);
  return static_cast<std::uint16_t>(crc ^ 0xFFFF);
}

// Header 0xAA, status 0, forces (N) and torques (N m), extra bytes 0..7 plus
// `tag`, and a correct CRC.
inline RxFrame makeFrame(const float (&ft)[6], std::uint8_t tag = 0) {
  RxFrame f{};
  f.header = RxFrame::kHeader;
  for (int i = 0; i < 6; ++i)
    f.ft_data[i] = ft[i];
  for (int i = 0; i < 8; ++i)
    f.extra[i] = static_cast<std::uint8_t>(i + tag);
  f.crc = tableCrcX25(f.data(), RxFrame::kDataSize);
  return f;
}

// A valid frame whose values and extra bytes are distinguished by `n`.
inline RxFrame numberedFrame(int n) {
  const float v = static_cast<float>(n);
  return makeFrame({v, -v, 0.5f * v, 0.25f, -0.125f, 2.0f}, static_cast<std::uint8_t>(n));
}

inline Bytes bytesOf(const RxFrame& f) {
  return Bytes(f.bytes(), f.bytes() + RxFrame::kSize);
}

inline void append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

// Header 0xAA and a CRC field that matches the payload.
inline bool frameIsValid(const RxFrame& f) {
  return f.header == RxFrame::kHeader && f.crc == tableCrcX25(f.data(), RxFrame::kDataSize);
}

inline bool sameBytes(const RxFrame& a, const RxFrame& b) {
  return std::memcmp(a.bytes(), b.bytes(), RxFrame::kSize) == 0;
}

}  // namespace vorel_test
