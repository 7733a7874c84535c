// CRC-16 routines of the sensor link, against the published check values of
// the three algorithms and golden values computed independently (Python's
// binascii.crc_hqx, with bit reversal for the reflected variants).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "comm/VorelForceTorqueSensorComm.h"
#include "comm/sensor_protocol.h"
#include "tests/comm/frame_builder.h"

namespace {

using vorel_device::RxFrame;
using vorel_device::SensorProtocol;

const std::uint8_t kCheck[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

// status 0, forces 1.5, -2.25, 10 N, torques 0.125, -0.5, 3 N m, extra 0..7.
std::vector<std::uint8_t> goldenPayload() {
  const std::uint8_t frame[] = {0xaa, 0x00, 0x00, 0x00, 0x00, 0xc0, 0x3f, 0x00, 0x00, 0x10,
                                0xc0, 0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x00, 0x3e, 0x00,
                                0x00, 0x00, 0xbf, 0x00, 0x00, 0x40, 0x40, 0x00, 0x01, 0x02,
                                0x03, 0x04, 0x05, 0x06, 0x07, 0xda, 0x67};
  return std::vector<std::uint8_t>(frame + 1, frame + 35);
}

TEST(SensorProtocol_CheckString, PublishedCheckValues_Match) {
  EXPECT_EQ(SensorProtocol::crc16_mcrf4xx(kCheck, sizeof(kCheck)), 0x6F91);
  EXPECT_EQ(SensorProtocol::crc16_x25(kCheck, sizeof(kCheck)), 0x906E);
  EXPECT_EQ(SensorProtocol::crc16_ccitt_false(kCheck, sizeof(kCheck)), 0x29B1);
  // Callable as members of the reader's toolkit without a reader or a port.
  EXPECT_EQ(vorel_device::VorelForceTorqueSensorComm::crc16_x25(kCheck, sizeof(kCheck)), 0x906E);
}

TEST(SensorProtocol_EmptyInput, ZeroLength_GivesInitialValueOrItsComplement) {
  EXPECT_EQ(SensorProtocol::crc16_mcrf4xx(kCheck, 0), 0xFFFF);
  EXPECT_EQ(SensorProtocol::crc16_x25(kCheck, 0), 0x0000);
  EXPECT_EQ(SensorProtocol::crc16_ccitt_false(kCheck, 0), 0xFFFF);
  EXPECT_EQ(SensorProtocol::crc16_x25(nullptr, 0), 0x0000);
}

TEST(SensorProtocol_FramePayload, GoldenFrame_CrcsMatchIndependentValues) {
  const std::vector<std::uint8_t> payload = goldenPayload();
  ASSERT_EQ(payload.size(), RxFrame::kDataSize);
  EXPECT_EQ(SensorProtocol::crc16_x25(payload.data(), payload.size()), 0x67DA);
  EXPECT_EQ(SensorProtocol::crc16_mcrf4xx(payload.data(), payload.size()), 0x9825);
  EXPECT_EQ(SensorProtocol::crc16_ccitt_false(payload.data(), payload.size()), 0xE5EF);

  // The frame built field by field carries the same bytes and CRC.
  const float ft[6] = {1.5f, -2.25f, 10.0f, 0.125f, -0.5f, 3.0f};
  const RxFrame f = vorel_test::makeFrame(0, ft);
  EXPECT_EQ(std::memcmp(f.data(), payload.data(), payload.size()), 0);
  const std::uint16_t crc = f.crc;  // packed field: compared by value
  EXPECT_EQ(crc, 0x67DA);
}

TEST(SensorProtocol_FramePayload, PayloadFollowedByItsX25_LeavesPublishedResidue) {
  std::vector<std::uint8_t> message = goldenPayload();
  const std::uint16_t crc = SensorProtocol::crc16_x25(message.data(), message.size());
  message.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  message.push_back(static_cast<std::uint8_t>(crc >> 8));
  // Register contents before the final XOR after a message and its own CRC.
  EXPECT_EQ(SensorProtocol::crc16_mcrf4xx(message.data(), message.size()), 0xF0B8);
}

TEST(SensorProtocol_FramePayload, AnySingleBitFlip_ChangesEveryCrc) {
  const std::vector<std::uint8_t> payload = goldenPayload();
  for (std::size_t byte = 0; byte < payload.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<std::uint8_t> flipped = payload;
      flipped[byte] ^= static_cast<std::uint8_t>(1u << bit);
      SCOPED_TRACE(testing::Message() << "byte " << byte << " bit " << bit);
      EXPECT_NE(SensorProtocol::crc16_x25(flipped.data(), flipped.size()), 0x67DA);
      EXPECT_NE(SensorProtocol::crc16_mcrf4xx(flipped.data(), flipped.size()), 0x9825);
      EXPECT_NE(SensorProtocol::crc16_ccitt_false(flipped.data(), flipped.size()), 0xE5EF);
    }
  }
}

TEST(SensorProtocol_RandomInput, X25_AgreesWithTableDrivenRoutine) {
  std::uint32_t state = 12345;
  std::vector<std::uint8_t> data(300);
  for (auto& b : data) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  for (std::size_t len = 0; len <= data.size(); len += 7) {
    SCOPED_TRACE(len);
    EXPECT_EQ(SensorProtocol::crc16_x25(data.data(), len),
              vorel_test::tableCrcX25(data.data(), len));
    // MCRF4XX is X-25 without the final XOR.
    EXPECT_EQ(SensorProtocol::crc16_mcrf4xx(data.data(), len),
              vorel_test::tableCrcX25(data.data(), len) ^ 0xFFFF);
  }
}

}  // namespace
