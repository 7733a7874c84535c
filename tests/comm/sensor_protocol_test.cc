// CRC-16 routines of the sensor link against the published check values of
// the three algorithms and golden values computed independently (Python's
// binascii.crc_hqx, with bit reversal for the reflected variants).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "comm/sensor_protocol.h"
#include "tests/comm/frame_builder.h"

namespace {

using vorel_device::SensorProtocol;
using vorel_test::Bytes;

// Status 0, forces 1.5, -2.25, 10 N, torques 0.125, -0.5, 3 N m, extra 0..7,
// CRC 0x67DA little-endian.
const Bytes kGoldenFrame = {0xaa, 0x00, 0x00, 0x00, 0x00, 0xc0, 0x3f, 0x00, 0x00, 0x10,
                            0xc0, 0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x00, 0x3e, 0x00,
                            0x00, 0x00, 0xbf, 0x00, 0x00, 0x40, 0x40, 0x00, 0x01, 0x02,
                            0x03, 0x04, 0x05, 0x06, 0x07, 0xda, 0x67};

struct CrcCase {
  const char* name;
  Bytes input;
  std::uint16_t x25, mcrf4xx, ccitt_false;
};

class SensorProtocolTest : public testing::TestWithParam<CrcCase> {};

INSTANTIATE_TEST_SUITE_P(
    Inputs, SensorProtocolTest,
    testing::Values(
        CrcCase{
            "CheckString", {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x906E, 0x6F91, 0x29B1},
        CrcCase{"Empty", {}, 0x0000, 0xFFFF, 0xFFFF},
        CrcCase{"FramePayload", Bytes(kGoldenFrame.begin() + 1, kGoldenFrame.end() - 2), 0x67DA,
                0x9825, 0xE5EF}),
    [](const testing::TestParamInfo<CrcCase>& info) { return std::string(info.param.name); });

TEST_P(SensorProtocolTest, KnownInput_GivesGoldenValues) {
  const CrcCase& c = GetParam();
  EXPECT_EQ(SensorProtocol::crc16_x25(c.input.data(), c.input.size()), c.x25);
  EXPECT_EQ(SensorProtocol::crc16_mcrf4xx(c.input.data(), c.input.size()), c.mcrf4xx);
  EXPECT_EQ(SensorProtocol::crc16_ccitt_false(c.input.data(), c.input.size()), c.ccitt_false);
}

// The frame layout: header, status, six little-endian floats, extra bytes and
// the CRC field, packed, as the sensor sends them.
TEST(SensorProtocol, FrameBuiltFieldByField_HasTheGoldenBytes) {
  const vorel_device::RxFrame f = vorel_test::makeFrame({1.5f, -2.25f, 10.0f, 0.125f, -0.5f, 3.0f});
  ASSERT_EQ(kGoldenFrame.size(), vorel_device::RxFrame::kSize);
  EXPECT_EQ(std::memcmp(f.bytes(), kGoldenFrame.data(), kGoldenFrame.size()), 0);
}

}  // namespace
