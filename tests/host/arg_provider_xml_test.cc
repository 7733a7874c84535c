// Positional device arguments read from an XML device configuration, as the
// host loads it with boost::property_tree::read_xml.
#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cmath>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>

#include "host/bundle.h"

namespace {

using boost::property_tree::ptree;
using hx4_bundle_api::ArgProviderXml;

const char kConfig[] = R"(<device class="vorel_device::VorelFTSensor" label="ft_sensor">
  <activation>
    <arg type="string">/dev/ttyUSB0</arg>
    <arg type="double">500</arg>
  </activation>
  <mounting>
    <arg type="load"><mass>0.8</mass><cog>0 0 0.04</cog></arg>
    <arg type="rpose"><pos>0 0 0.035</pos><rpy>0 0 0</rpy></arg>
  </mounting>
</device>
)";

// Arguments that do not read as their type, and some that do.
const char kOddArgs[] = R"(<a>
    <arg type="double">fast</arg>
    <arg type="double">nan</arg>
    <arg type="load"><mass>1</mass><cog>0 0</cog></arg>
    <arg type="rpose"><pos>0 0 1</pos></arg>
    <arg type="load"><cog>0 0 0</cog></arg>
    <arg type="double">inf</arg>
    <note>not an argument</note>
    <arg type="double">
      250
    </arg>
    <arg type="load"><mass> 1.5 </mass><cog> 0.01 0 0.05 </cog>
      <inertia>0.1 0.2 0.3 0 0 0.01</inertia></arg>
    <arg type="rpose"><pos>0.1 0.2 0.3</pos><rpy>0 0 1.5707963267948966</rpy></arg>
  </a>)";

ptree parse(const std::string& xml, const char* child) {
  std::istringstream in(xml);
  ptree tree;
  boost::property_tree::read_xml(in, tree);
  return tree.get_child(child);
}

const ArgProviderXml activation(parse(kConfig, "device.activation"));
const ArgProviderXml mounting(parse(kConfig, "device.mounting"));
const ArgProviderXml odd(parse(kOddArgs, "a"));
const ArgProviderXml none{ptree()};

TEST(ArgProviderXml, ExampleConfiguration_EveryGetterReadsItsArgument) {
  EXPECT_EQ(activation.getArgCount(), 2u);
  EXPECT_EQ(activation.getString(0), "/dev/ttyUSB0");
  EXPECT_EQ(activation.getDouble(1), 500.0);
  EXPECT_EQ(mounting.getArgCount(), 2u);
  const hx4_program_api::Load load = mounting.getLoad(0);
  EXPECT_EQ(load.mass(), 0.8);
  EXPECT_EQ(hx4rc_api::Vector(load.cog().x, load.cog().y, load.cog().z),
            hx4rc_api::Vector(0.0, 0.0, 0.04));
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(load.inertia()[i], 0.0);
  const hx4_program_api::RobotPose pose = mounting.getRPose(1);
  ASSERT_TRUE(pose.valid());
  const hx4rc_api::Frame frame = pose.evaluate(true);
  EXPECT_EQ(frame.position, hx4rc_api::Vector(0.0, 0.0, 0.035));
  EXPECT_EQ(frame.rotation, hx4rc_api::Rotation::Identity());
}

TEST(ArgProviderXml, NonFiniteWhitespaceInertiaOtherChildren_Accepted) {
  EXPECT_EQ(odd.getArgCount(), 9u);  // <note> is not an argument
  EXPECT_TRUE(std::isnan(odd.getDouble(1)));
  EXPECT_TRUE(std::isinf(odd.getDouble(5)));
  EXPECT_EQ(odd.getDouble(6), 250.0);
  const hx4_program_api::Load load = odd.getLoad(7);
  EXPECT_EQ(load.mass(), 1.5);
  EXPECT_EQ(load.cog().x, 0.01);
  EXPECT_EQ(load.inertia()[0], 0.1);
  EXPECT_EQ(load.inertia()[5], 0.01);
  const hx4rc_api::Frame frame = odd.getRPose(8).evaluate(true);
  EXPECT_EQ(frame.position, hx4rc_api::Vector(0.1, 0.2, 0.3));
  EXPECT_NEAR(frame.rotation(1, 0), 1.0, 1e-12);
}

struct ErrorCase {
  std::function<void()> read;
  const char* message;  // of the hx4_bundle::Error (code -1) thrown
};

void PrintTo(const ErrorCase& c, std::ostream* out) {
  *out << c.message;
}

class ArgProviderXmlErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ArgProviderXmlErrorTest, Read_ErrorNamesIndexAndTypeOrField) {
  try {
    GetParam().read();
    ADD_FAILURE() << "no error";
  } catch (const hx4_bundle::Error& e) {
    EXPECT_EQ(e.code(), -1);
    EXPECT_STREQ(e.what(), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    WrongTypeMissingMalformed, ArgProviderXmlErrorTest,
    testing::Values(
        ErrorCase{[] { activation.getDouble(0); },
                  "argument 0 should be of type double, not \"string\""},
        ErrorCase{[] { activation.getString(1); },
                  "argument 1 should be of type string, not \"double\""},
        ErrorCase{[] { mounting.getRPose(0); }, "argument 0 should be of type rpose, not \"load\""},
        ErrorCase{[] { mounting.getLoad(1); }, "argument 1 should be of type load, not \"rpose\""},
        ErrorCase{[] { activation.getString(2); },
                  "argument 2 (string) is missing: 2 argument(s) given"},
        ErrorCase{[] { none.getLoad(0); }, "argument 0 (load) is missing: 0 argument(s) given"},
        ErrorCase{[] { odd.getDouble(0); }, "argument 0 (double) is not a number: \"fast\""},
        ErrorCase{[] { odd.getLoad(2); }, "argument 2: <cog> needs 3 numbers, got \"0 0\""},
        ErrorCase{[] { odd.getRPose(3); }, "argument 3: missing <rpy>"},
        ErrorCase{[] { odd.getLoad(4); }, "argument 4: missing <mass>"}));

}  // namespace
