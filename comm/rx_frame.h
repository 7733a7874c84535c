// RxFrame: one 37-byte measurement frame exactly as the sensor sends it on the
// serial line (little-endian, no padding), and as it is published in shared
// memory under the name "frame".
//
//   offset  size  field    meaning
//   0       1     header   frame start marker, always 0xAA
//   1       2     status   0 when the measurement is valid (status bits below)
//   3       24    ft_data  6 x float32: force x, y, z (N), torque x, y, z (N m)
//   27      8     extra    further payload, covered by the CRC, never interpreted
//   35      2     crc      CRC-16/X-25 of bytes 1 to 34
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace vorel_device {

#pragma pack(push, 1)
struct RxFrame {
  static constexpr std::uint8_t kHeader = 0xAA;
  static constexpr std::size_t kSize = 37;
  static constexpr std::size_t kDataOffset = 1;  // first byte covered by the CRC
  static constexpr std::size_t kDataSize = 34;   // bytes 1 to 34

  std::uint8_t header;
  std::uint16_t status;
  float ft_data[6];
  std::uint8_t extra[8];
  std::uint16_t crc;

  // The 34 payload bytes over which the CRC runs (status, ft_data, extra).
  std::uint8_t* data() { return reinterpret_cast<std::uint8_t*>(this) + kDataOffset; }
  const std::uint8_t* data() const {
    return reinterpret_cast<const std::uint8_t*>(this) + kDataOffset;
  }
  std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(this); }
  const std::uint8_t* bytes() const { return reinterpret_cast<const std::uint8_t*>(this); }
};
#pragma pack(pop)

// Status bits (all in the low byte). Any non-zero status, named bit or not,
// marks the frame's forces as invalid.
enum RxFrameStatus : std::uint16_t {
  app_took_too_long = 0x01,
  overrange = 0x02,
  invalid_measurements = 0x04,
  raw_measurements = 0x08,
};

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "frames are little-endian on the wire");
static_assert(sizeof(RxFrame) == 37, "RxFrame is 37 bytes on the wire");
static_assert(alignof(RxFrame) == 1, "RxFrame is packed");
static_assert(offsetof(RxFrame, header) == 0, "header at 0");
static_assert(offsetof(RxFrame, status) == 1, "status at 1");
static_assert(offsetof(RxFrame, ft_data) == 3, "ft_data at 3");
static_assert(offsetof(RxFrame, extra) == 27, "extra at 27");
static_assert(offsetof(RxFrame, crc) == 35, "crc at 35");
static_assert(std::is_trivially_copyable<RxFrame>::value, "RxFrame is copied byte for byte");

}  // namespace vorel_device
