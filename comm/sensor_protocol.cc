#include "comm/sensor_protocol.h"

namespace vorel_device {

namespace {

// Reflected CRC-16 with polynomial 0x1021 (0x8408 reflected): each byte is
// XORed into the low byte of the register, and each bit step shifts right by
// one, XORing 0x8408 when the bit shifted out was 1.
std::uint16_t reflectedCrc16(const std::uint8_t* data, std::size_t len) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool out = crc & 0x0001;
      crc >>= 1;
      if (out)
        crc ^= 0x8408;
    }
  }
  return crc;
}

}  // namespace

std::uint16_t SensorProtocol::crc16_mcrf4xx(const std::uint8_t* data, std::size_t len) {
  return reflectedCrc16(data, len);
}

std::uint16_t SensorProtocol::crc16_x25(const std::uint8_t* data, std::size_t len) {
  return static_cast<std::uint16_t>(reflectedCrc16(data, len) ^ 0xFFFF);
}

std::uint16_t SensorProtocol::crc16_ccitt_false(const std::uint8_t* data, std::size_t len) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < len; ++i) {
    crc ^= static_cast<std::uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit) {
      const bool out = crc & 0x8000;
      crc = static_cast<std::uint16_t>(crc << 1);
      if (out)
        crc ^= 0x1021;
    }
  }
  return crc;
}

}  // namespace vorel_device
