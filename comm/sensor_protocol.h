// The sensor link's protocol toolkit: the CRC-16 routines, pure functions of
// their input that any thread may call without a port. The sensor reader
// (VorelForceTorqueSensorComm) derives from it; only CRC-16/X-25 is used on the
// link.
//
// All three work bit by bit without tables (34 bytes per frame):
//   routine            polynomial            bit order  init    final XOR  len 0
//   crc16_mcrf4xx      0x1021 refl. 0x8408   LSB first  0xFFFF  none       0xFFFF
//   crc16_x25          0x1021 refl. 0x8408   LSB first  0xFFFF  0xFFFF     0x0000
//   crc16_ccitt_false  0x1021                MSB first  0xFFFF  none       0xFFFF
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorel_device {

struct SensorProtocol {
  static std::uint16_t crc16_mcrf4xx(const std::uint8_t* data, std::size_t len);
  static std::uint16_t crc16_x25(const std::uint8_t* data, std::size_t len);
  static std::uint16_t crc16_ccitt_false(const std::uint8_t* data, std::size_t len);
};

}  // namespace vorel_device
