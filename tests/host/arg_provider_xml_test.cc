// Positional device arguments read from an XML device configuration, as the
// host loads it with boost::property_tree::read_xml. The shipped device
// configuration is read through the same provider by the apps' tests.
#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cmath>
#include <functional>
#include <ostream>
#include <sstream>

#include "host/bundle.h"

namespace {

using boost::property_tree::ptree;
using hx4_bundle_api::ArgProviderXml;

// Arguments 0 to 6 read as their type; 7 to 11 do not.
const char kArgs[] = R"(<a>
    <arg type="string">/dev/ttyUSB0</arg>
    <arg type="double">
      250
    </arg>
    <arg type="load"><mass> 1.5 </mass><cog> 0.01 0 0.05 </cog>
      <inertia>0.1 0.2 0.3 0 0 0.01</inertia></arg>
    <arg type="rpose"><pos>0.1 0.2 0.3</pos><rpy>0 0 1.5707963267948966</rpy></arg>
    <note>not an argument</note>
    <arg type="double">nan</arg>
    <arg type="double">inf</arg>
    <arg type="load"><mass>0.8</mass><cog>0 0 0.04</cog></arg>
    <arg type="double">fast</arg>
    <arg type="load"><mass>1</mass><cog>0 0</cog></arg>
    <arg type="rpose"><pos>0 0 1</pos></arg>
    <arg type="load"><cog>0 0 0</cog></arg>
  </a>)";

ArgProviderXml parse(const char* xml) {
  std::istringstream in(xml);
  ptree tree;
  boost::property_tree::read_xml(in, tree);
  return ArgProviderXml(tree.get_child("a"));
}

const ArgProviderXml args = parse(kArgs);

TEST(ArgProviderXml, EachType_ReadsValueIgnoringLayoutAndOtherChildren) {
  EXPECT_EQ(args.getArgCount(), 11u);
  EXPECT_EQ(args.getString(0), "/dev/ttyUSB0");
  EXPECT_EQ(args.getDouble(1), 250.0);
  const hx4_program_api::Load load = args.getLoad(2);
  EXPECT_EQ(load.mass(), 1.5);
  EXPECT_EQ(hx4rc_api::Vector(load.cog().x, load.cog().y, load.cog().z),
            hx4rc_api::Vector(0.01, 0.0, 0.05));
  EXPECT_EQ(load.inertia()[0], 0.1);
  EXPECT_EQ(load.inertia()[5], 0.01);
  const hx4rc_api::Frame frame = args.getRPose(3).evaluate(true);
  EXPECT_EQ(frame.position, hx4rc_api::Vector(0.1, 0.2, 0.3));
  EXPECT_NEAR(frame.rotation(1, 0), 1.0, 1e-12);
  EXPECT_TRUE(std::isnan(args.getDouble(4)));
  EXPECT_TRUE(std::isinf(args.getDouble(5)));
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(args.getLoad(6).inertia()[i], 0.0);  // no <inertia>: zero
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
        ErrorCase{[] { args.getDouble(0); }, "argument 0 should be of type double, not \"string\""},
        ErrorCase{[] { args.getRPose(2); }, "argument 2 should be of type rpose, not \"load\""},
        ErrorCase{[] { args.getString(11); },
                  "argument 11 (string) is missing: 11 argument(s) given"},
        ErrorCase{[] { args.getDouble(7); }, "argument 7 (double) is not a number: \"fast\""},
        ErrorCase{[] { args.getLoad(8); }, "argument 8: <cog> needs 3 numbers, got \"0 0\""},
        ErrorCase{[] { args.getRPose(9); }, "argument 9: missing <rpy>"},
        ErrorCase{[] { args.getLoad(10); }, "argument 10: missing <mass>"}));

}  // namespace
