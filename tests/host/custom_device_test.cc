// The plug-in frame: device base class, makers and the maker factory.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <sstream>
#include <stdexcept>
#include <string>

#include "host/bundle.h"
#include "tests/support/installed_controller.h"

namespace {

using boost::property_tree::ptree;
using hx4_bundle_api::CustomDevice;
using hx4_bundle_api_internals::BundleInstanceFactory;
using hx4_bundle_api_internals::BundleInstanceMaker;
using hx4_program_api::CmdResult;

ptree deviceNode(const std::string& xml) {
  std::istringstream in(xml);
  ptree tree;
  boost::property_tree::read_xml(in, tree);
  return tree.get_child("device");
}

const char kFullConfig[] = R"(<device class="test::Device" label="probe" plux="vorel">
  <activation><arg type="string">/dev/null</arg><arg type="double">250</arg></activation>
  <mounting><arg type="load"><mass>0.8</mass><cog>0 0 0.04</cog></arg></mounting>
</device>)";

// What onActivate does in a test.
enum class Behaviour { kSucceed, kFail, kThrowStd, kThrowOther };

class TestDevice : public CustomDevice {
 public:
  TestDevice(boost::shared_ptr<hx4_program_api::ProgramInterface> program, const ptree& config)
      : CustomDevice(std::move(program), config) {}

  CmdResult<void*> onActivate(const ptree& params) override {
    ++activations;
    activated_with = params;
    switch (behaviour) {
      case Behaviour::kFail:
        return CmdResult<void*>::Error(12, "Failed to start the adaptive thread.");
      case Behaviour::kThrowStd:
        throw std::runtime_error("no such port");
      case Behaviour::kThrowOther:
        throw 42;
      case Behaviour::kSucceed:
        break;
    }
    return CmdResult<void*>::Success();
  }

  Behaviour behaviour = Behaviour::kSucceed;
  int activations = 0;
  ptree activated_with;
};

class CustomDeviceTest : public testing::Test {
 protected:
  vorel_test::InstalledController ctl_;
};

TEST_F(CustomDeviceTest, Identity_FromConfigurationAttributes) {
  TestDevice device(ctl_.program(), deviceNode(kFullConfig));
  EXPECT_EQ(device.getClass(), "test::Device");
  EXPECT_EQ(device.getLabel(), "probe");
  EXPECT_EQ(device.getPlux(), "vorel");
  EXPECT_EQ(device.program(), ctl_.program());

  TestDevice bare(ctl_.program(), deviceNode("<device/>"));
  EXPECT_EQ(bare.getClass(), "");
  EXPECT_EQ(bare.getLabel(), "");
  EXPECT_EQ(bare.getPlux(), "");
  EXPECT_NE(bare.subscriberId(), device.subscriberId());
}

TEST_F(CustomDeviceTest, ParameterTrees_PresentOrAbsent) {
  TestDevice full(ctl_.program(), deviceNode(kFullConfig));
  ASSERT_TRUE(full.activationParams());
  ASSERT_TRUE(full.mountingParams());
  hx4_bundle_api::ArgProviderXml activation(*full.activationParams());
  EXPECT_EQ(activation.getString(0), "/dev/null");
  EXPECT_EQ(activation.getDouble(1), 250.0);
  EXPECT_EQ(hx4_bundle_api::ArgProviderXml(*full.mountingParams()).getLoad(0).mass(), 0.8);

  TestDevice only_activation(
      ctl_.program(),
      deviceNode(
          R"(<device class="c"><activation><arg type="double">1</arg></activation></device>)"));
  EXPECT_TRUE(only_activation.activationParams());
  EXPECT_FALSE(only_activation.mountingParams());

  TestDevice neither(ctl_.program(), deviceNode(R"(<device class="c"/>)"));
  EXPECT_FALSE(neither.activationParams());
  EXPECT_FALSE(neither.mountingParams());

  // The host may set or clear them later.
  neither.setMountingParams(*full.mountingParams());
  EXPECT_TRUE(neither.mountingParams());
  full.setActivationParams(boost::none);
  EXPECT_FALSE(full.activationParams());
}

TEST_F(CustomDeviceTest, Activate_PassesTreeAndReturnsResult) {
  TestDevice device(ctl_.program(), deviceNode(kFullConfig));
  const CmdResult<void*> ok = device.activate(*device.activationParams());
  EXPECT_EQ(ok.kind(), 0);
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ(device.activations, 1);
  EXPECT_EQ(device.activated_with, *device.activationParams());

  device.behaviour = Behaviour::kFail;
  const CmdResult<void*> failed = device.activate(ptree());
  EXPECT_EQ(failed.kind(), 2);
  EXPECT_EQ(failed.code(), 12);
  EXPECT_EQ(failed.message(), "Failed to start the adaptive thread.");
}

TEST_F(CustomDeviceTest, Activate_ExceptionFromOnActivate_BecomesKindOne) {
  TestDevice device(ctl_.program(), deviceNode(kFullConfig));
  device.behaviour = Behaviour::kThrowStd;
  const CmdResult<void*> thrown = device.activate(ptree());
  EXPECT_EQ(thrown.kind(), 1);
  EXPECT_FALSE(thrown.ok());
  EXPECT_EQ(thrown.code(), -1);
  EXPECT_EQ(thrown.message(), "no such port");

  device.behaviour = Behaviour::kThrowOther;
  const CmdResult<void*> other = device.activate(ptree());
  EXPECT_EQ(other.kind(), 1);
  EXPECT_EQ(other.code(), -1);
  EXPECT_EQ(other.message(), "unknown exception");
  EXPECT_EQ(device.activations, 2);
}

TEST_F(CustomDeviceTest, DefaultLifecycle_SucceedsWithoutEffect) {
  CustomDevice device(ctl_.program(), deviceNode(kFullConfig));
  EXPECT_EQ(device.onCreate(), 0);
  EXPECT_EQ(device.onBind(), 0);
  EXPECT_TRUE(device.onMount(ptree()).ok());
  EXPECT_TRUE(device.activate(ptree()).ok());
  EXPECT_TRUE(device.onDeactivate().ok());
  EXPECT_TRUE(device.onUnmount().ok());
  EXPECT_EQ(device.onUnbind(), 0);
  EXPECT_EQ(device.onDestroy(), 0);
  EXPECT_TRUE(ctl_->loadWrites().empty());
  EXPECT_TRUE(ctl_->motionCommands().empty());
}

TEST_F(CustomDeviceTest, Destroyed_SubscriptionsLeaveSignalBus) {
  auto stream = ctl_.program()->signalBus().findOrCreateStream<hx4_signal::HWReady>();
  {
    TestDevice device(ctl_.program(), deviceNode(kFullConfig));
    ASSERT_TRUE(stream->registerCallback(
        device.subscriberId(),
        boost::any(std::function<void(const hx4_signal::HWReady&)>([](const auto&) {}))));
    EXPECT_EQ(stream->callbackCount(), 1u);
    EXPECT_EQ(&device.signalBus(), &ctl_.program()->signalBus());
    EXPECT_EQ(&device.eventBus(), &ctl_.program()->eventBus());
  }
  EXPECT_EQ(stream->callbackCount(), 0u);
}

TEST_F(CustomDeviceTest, Maker_RegistersOnConstructionAndUnregistersOnDestruction) {
  BundleInstanceFactory& factory = BundleInstanceFactory::instance();
  EXPECT_EQ(factory.findMaker("test::Device"), nullptr);
  {
    const BundleInstanceMaker<TestDevice> maker("test::Device");
    EXPECT_EQ(maker.name(), "test::Device");
    hx4_bundle_api_internals::IBundleInstanceMaker* found = factory.findMaker("test::Device");
    ASSERT_EQ(found, &maker);
    const auto names = factory.names();
    EXPECT_NE(std::find(names.begin(), names.end(), "test::Device"), names.end());

    boost::shared_ptr<CustomDevice> device = found->create(ctl_.program(), deviceNode(kFullConfig));
    ASSERT_TRUE(device);
    EXPECT_NE(dynamic_cast<TestDevice*>(device.get()), nullptr);
    EXPECT_EQ(device->getLabel(), "probe");
    EXPECT_EQ(device->program(), ctl_.program());
  }
  EXPECT_EQ(factory.findMaker("test::Device"), nullptr);
}

TEST_F(CustomDeviceTest, Factory_RegisterReplacesAndUnregisterRemoves) {
  BundleInstanceFactory& factory = BundleInstanceFactory::instance();
  BundleInstanceMaker<TestDevice> first("test::First");
  BundleInstanceMaker<TestDevice> second("test::Second");
  factory.registerMaker("test::First", &second);
  EXPECT_EQ(factory.findMaker("test::First"), &second);
  factory.unregisterMaker("test::First");
  EXPECT_EQ(factory.findMaker("test::First"), nullptr);
  EXPECT_EQ(factory.findMaker("test::Second"), &second);
  factory.unregisterMaker("test::Unknown");  // nothing to remove
  EXPECT_EQ(factory.findMaker("test::Second"), &second);
}

}  // namespace
