// Device configurations: the default one shipped in the repository, and the
// rewriting of the serial path and frequency before activation.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/bundle.h"
#include "sim/host/device_config.h"

namespace {

using vorel_sim_app::DeviceConfig;

std::string throwsMessage(const std::string& xml) {
  try {
    DeviceConfig::parse(xml, "test.xml");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  ADD_FAILURE() << "no error for " << xml;
  return std::string();
}

TEST(DeviceConfig_ShippedDefault_DescribesTheCellTool, AsTheDeviceReadsIt) {
  const DeviceConfig c = DeviceConfig::load(VOREL_SOURCE_DIR "/config/vorel_ft_sensor.xml");
  EXPECT_EQ(c.className(), "vorel_device::VorelFTSensor");
  EXPECT_EQ(c.label(), "ft_sensor");
  EXPECT_EQ(c.port(), "/dev/ttyUSB0");
  EXPECT_EQ(c.rateHz(), 500.0);
  ASSERT_TRUE(c.hasMounting());
  hx4_bundle_api::ArgProviderXml mounting(c.node().get_child("mounting"));
  const auto load = mounting.getLoad(0);
  EXPECT_EQ(load.mass(), 0.8);
  EXPECT_EQ(load.cog().z, 0.04);
  const auto pose = mounting.getRPose(1);
  EXPECT_EQ(pose.pos().z, 0.035);
  EXPECT_EQ(c.describe(),
            "label 'ft_sensor' (vorel_device::VorelFTSensor): port /dev/ttyUSB0, 500 Hz, tool "
            "0.8 kg at (0, 0, 0.04) m, sensor at (0, 0, 0.035) m");
}

TEST(DeviceConfig_SetPortAndRate_ReplaceActivationArguments, CreatingThemWhenMissing) {
  DeviceConfig c = DeviceConfig::load(VOREL_SOURCE_DIR "/config/vorel_ft_sensor.xml");
  c.setPort("/dev/pts/9");
  c.setRateHz(250);
  EXPECT_EQ(c.port(), "/dev/pts/9");
  EXPECT_EQ(c.rateHz(), 250.0);
  // The shipped configuration asks for real-time priority 40 (arg 2).
  EXPECT_EQ(hx4_bundle_api::ArgProviderXml(c.node().get_child("activation")).getArgCount(), 3u);
  EXPECT_EQ(c.priority(), 40);
  c.setPriority(0);
  EXPECT_EQ(c.priority(), 0);
  EXPECT_EQ(c.port(), "/dev/pts/9");

  DeviceConfig bare =
      DeviceConfig::parse("<device class=\"vorel_device::VorelFTSensor\"/>", "bare.xml");
  EXPECT_FALSE(bare.hasActivation());
  bare.setRateHz(100);  // arg 0 is created (empty) before arg 1
  EXPECT_EQ(bare.rateHz(), 100.0);
  EXPECT_EQ(bare.port(), "");
  bare.setPort("/dev/ttyS0");
  EXPECT_EQ(bare.port(), "/dev/ttyS0");
  EXPECT_EQ(bare.rateHz(), 100.0);
  EXPECT_EQ(bare.priority(), 0);  // absent: normal scheduling
  bare.setPriority(12);
  EXPECT_EQ(bare.priority(), 12);
  EXPECT_EQ(bare.rateHz(), 100.0);
}

TEST(DeviceConfig_BadFiles_AreRefusedNamingTheProblem, BeforeAnyDeviceExists) {
  EXPECT_EQ(throwsMessage("<other/>"), "test.xml: expected a <device> root element");
  EXPECT_EQ(throwsMessage("<device class=\"acme::Gripper\"/>"),
            "test.xml: expected <device class=\"vorel_device::VorelFTSensor\">, found class "
            "\"acme::Gripper\"");
  EXPECT_EQ(throwsMessage("<device class=\"vorel_device::VorelFTSensor\">\n<activation>\n"),
            "test.xml: line 3: not a valid XML file: unexpected end of data");
  EXPECT_THROW(DeviceConfig::load("/nonexistent/config.xml"), std::runtime_error);
}

TEST(DeviceConfig_MistypedArgument_ReportsIndexAndType, ThroughTheHostLayer) {
  const DeviceConfig c = DeviceConfig::parse(
      "<device class=\"vorel_device::VorelFTSensor\"><activation><arg type=\"double\">1</arg>"
      "</activation></device>",
      "t.xml");
  EXPECT_THROW(c.port(), hx4_bundle::Error);
  EXPECT_NE(c.describe().find("activation parameters: argument 0 should be of type string"),
            std::string::npos)
      << c.describe();
}

}  // namespace
