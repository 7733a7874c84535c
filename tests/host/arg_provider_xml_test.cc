// Positional device arguments read from an XML device configuration, as the
// host loads it with boost::property_tree::read_xml.
#include <gtest/gtest.h>

#include <cmath>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
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

ptree parse(const std::string& xml) {
  std::istringstream in(xml);
  ptree tree;
  boost::property_tree::read_xml(in, tree);
  return tree;
}

ptree section(const char* name) {
  return parse(kConfig).get_child("device").get_child(name);
}

// The message of the hx4_bundle::Error that `read` throws, or a note that it
// threw nothing.
template <class Read>
std::string errorOf(Read read) {
  try {
    read();
  } catch (const hx4_bundle::Error& e) {
    EXPECT_EQ(e.code(), -1);
    return e.what();
  }
  return "no error";
}

TEST(ArgProviderXml, ExampleConfiguration_EveryGetterReadsItsArgument) {
  const ArgProviderXml activation(section("activation"));
  EXPECT_EQ(activation.getArgCount(), 2u);
  EXPECT_EQ(activation.getString(0), "/dev/ttyUSB0");
  EXPECT_EQ(activation.getDouble(1), 500.0);

  const ArgProviderXml mounting(section("mounting"));
  EXPECT_EQ(mounting.getArgCount(), 2u);
  const hx4_program_api::Load load = mounting.getLoad(0);
  EXPECT_EQ(load.mass(), 0.8);
  EXPECT_EQ(load.cog().x, 0.0);
  EXPECT_EQ(load.cog().y, 0.0);
  EXPECT_EQ(load.cog().z, 0.04);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(load.inertia()[i], 0.0);

  const hx4_program_api::RobotPose pose = mounting.getRPose(1);
  ASSERT_TRUE(pose.valid());
  const hx4rc_api::Frame frame = pose.evaluate(true);
  EXPECT_EQ(frame.position, hx4rc_api::Vector(0.0, 0.0, 0.035));
  EXPECT_EQ(frame.rotation, hx4rc_api::Rotation::Identity());
}

TEST(ArgProviderXml, WrongType_ErrorNamesIndexAndExpectedType) {
  const ArgProviderXml activation(section("activation"));
  EXPECT_EQ(errorOf([&] { activation.getDouble(0); }),
            "argument 0 should be of type double, not \"string\"");
  EXPECT_EQ(errorOf([&] { activation.getString(1); }),
            "argument 1 should be of type string, not \"double\"");
  const ArgProviderXml mounting(section("mounting"));
  EXPECT_EQ(errorOf([&] { mounting.getRPose(0); }),
            "argument 0 should be of type rpose, not \"load\"");
  EXPECT_EQ(errorOf([&] { mounting.getLoad(1); }),
            "argument 1 should be of type load, not \"rpose\"");
}

TEST(ArgProviderXml, MissingIndex_ErrorNamesIndexAndExpectedType) {
  const ArgProviderXml activation(section("activation"));
  EXPECT_EQ(errorOf([&] { activation.getString(2); }),
            "argument 2 (string) is missing: 2 argument(s) given");
  const ArgProviderXml none(ptree{});
  EXPECT_EQ(none.getArgCount(), 0u);
  EXPECT_EQ(errorOf([&] { none.getLoad(0); }), "argument 0 (load) is missing: 0 argument(s) given");
}

TEST(ArgProviderXml, MalformedValues_ErrorNamesIndexAndField_NonFiniteNumbersPass) {
  const ArgProviderXml args(parse(R"(<a>
    <arg type="double">fast</arg>
    <arg type="double">nan</arg>
    <arg type="load"><mass>1</mass><cog>0 0</cog></arg>
    <arg type="rpose"><pos>0 0 1</pos></arg>
    <arg type="load"><cog>0 0 0</cog></arg>
    <arg type="double">inf</arg>
  </a>)")
                                .get_child("a"));
  EXPECT_EQ(errorOf([&] { args.getDouble(0); }), "argument 0 (double) is not a number: \"fast\"");
  EXPECT_TRUE(std::isnan(args.getDouble(1)));
  EXPECT_EQ(errorOf([&] { args.getLoad(2); }), "argument 2: <cog> needs 3 numbers, got \"0 0\"");
  EXPECT_EQ(errorOf([&] { args.getRPose(3); }), "argument 3: missing <rpy>");
  EXPECT_EQ(errorOf([&] { args.getLoad(4); }), "argument 4: missing <mass>");
  EXPECT_TRUE(std::isinf(args.getDouble(5)));
}

TEST(ArgProviderXml, LayoutWhitespaceAndInertia_Accepted) {
  const ArgProviderXml args(parse(R"(<a>
    <arg type="double">
      250
    </arg>
    <arg type="load"><mass> 1.5 </mass><cog> 0.01 0 0.05 </cog>
      <inertia>0.1 0.2 0.3 0 0 0.01</inertia></arg>
    <arg type="rpose"><pos>0.1 0.2 0.3</pos><rpy>0 0 1.5707963267948966</rpy></arg>
  </a>)")
                                .get_child("a"));
  EXPECT_EQ(args.getDouble(0), 250.0);
  const hx4_program_api::Load load = args.getLoad(1);
  EXPECT_EQ(load.mass(), 1.5);
  EXPECT_EQ(load.cog().x, 0.01);
  EXPECT_EQ(load.inertia()[0], 0.1);
  EXPECT_EQ(load.inertia()[5], 0.01);
  const hx4rc_api::Frame frame = args.getRPose(2).evaluate(true);
  EXPECT_EQ(frame.position, hx4rc_api::Vector(0.1, 0.2, 0.3));
  EXPECT_NEAR(frame.rotation(1, 0), 1.0, 1e-12);
}

TEST(ArgProviderXml, OtherChildren_NotCountedAsArguments) {
  const ArgProviderXml args(
      parse(R"(<a><note>x</note><arg type="string">p</arg></a>)").get_child("a"));
  EXPECT_EQ(args.getArgCount(), 1u);
  EXPECT_EQ(args.getString(0), "p");
}

}  // namespace
