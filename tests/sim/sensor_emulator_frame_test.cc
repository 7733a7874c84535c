// The emulator's frame encoding, acknowledgements and rate table, without a
// line. The golden frame was computed independently (Python struct packing
// and a bitwise CRC-16/X-25 checked against its published check value 0x906E
// for "123456789").
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "comm/sensor_protocol.h"
#include "sim/sensor/sensor_emulator.h"

namespace {

using vorel_device::RxFrame;
using vorel_device::Wrench;
using vorel_sim::SensorEmulator;

TEST(SensorEmulatorFrame, KnownWrenchStatusAndStamp_GoldenBytes) {
  Wrench w;
  const double values[6] = {1.5, -2.25, 9.81, 0.125, -0.5, 3.0};
  for (int i = 0; i < 6; ++i)
    w[i] = values[i];
  SensorEmulator::FrameStamp stamp;
  stamp.sequence = 0x01020304;
  stamp.send_time_us = 0xA1B2C3D4;
  const RxFrame frame = SensorEmulator::makeFrame(w, 0x0004, stamp);
  const std::uint8_t golden[37] = {0xAA, 0x04, 0x00, 0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x10,
                                   0xC0, 0xC3, 0xF5, 0x1C, 0x41, 0x00, 0x00, 0x00, 0x3E, 0x00,
                                   0x00, 0x00, 0xBF, 0x00, 0x00, 0x40, 0x40, 0x04, 0x03, 0x02,
                                   0x01, 0xD4, 0xC3, 0xB2, 0xA1, 0x7A, 0x11};
  for (std::size_t i = 0; i < sizeof(golden); ++i)
    EXPECT_EQ(frame.bytes()[i], golden[i]) << i;

  const SensorEmulator::FrameStamp decoded = SensorEmulator::decodeStamp(frame);
  EXPECT_EQ(decoded.sequence, 0x01020304u);
  EXPECT_EQ(decoded.send_time_us, 0xA1B2C3D4u);
}

TEST(SensorEmulatorFrame, ComponentsBeyondFloatRange_InfinityNaNKept) {
  Wrench w;
  w[0] = 1e300;
  w[1] = -1e300;
  w[2] = std::numeric_limits<double>::quiet_NaN();
  w[3] = std::numeric_limits<double>::max();
  w[4] = 3.4e38;  // just below the float maximum
  const RxFrame frame = SensorEmulator::makeFrame(w, 0, {});
  float ft[6];
  std::memcpy(ft, frame.bytes() + 3, sizeof(ft));
  const std::uint16_t crc = frame.crc;
  EXPECT_EQ(ft[0], std::numeric_limits<float>::infinity());
  EXPECT_EQ(ft[1], -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(ft[2]));
  EXPECT_EQ(ft[3], std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isfinite(ft[4]));
  EXPECT_EQ(vorel_device::SensorProtocol::crc16_x25(frame.data(), RxFrame::kDataSize), crc);
}

TEST(SensorEmulatorFrame, Acknowledgement_SevenAsciiBytes) {
  for (char c : {'C', 'f', 's', 'R'}) {
    const auto ack = SensorEmulator::acknowledgement(c);
    ASSERT_EQ(ack.size(), 7u);
    const std::string expected = std::string("ACK ") + c + "\r\n";
    EXPECT_EQ(std::string(ack.begin(), ack.end()), expected);
  }
}

TEST(SensorEmulatorFrame, FilterSettings_SelectRates) {
  EXPECT_EQ(SensorEmulator::rateForFilter({86, 0, 0, 1}), 500.0);
  EXPECT_EQ(SensorEmulator::rateForFilter({172, 0, 0, 1}), 250.0);
  EXPECT_EQ(SensorEmulator::rateForFilter({430, 0, 0, 1}), 100.0);
  EXPECT_EQ(SensorEmulator::rateForFilter({87, 0, 0, 1}), 0.0);
  EXPECT_EQ(SensorEmulator::rateForFilter({0, 0, 0, 0}), 0.0);
}

}  // namespace
