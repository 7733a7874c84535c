// Loads libvorel_device.so the way a host does and creates the device through
// the maker registered under its class name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>

#include "host/bundle.h"
#include "tests/support/installed_controller.h"

namespace {

using hx4_bundle_api_internals::BundleInstanceFactory;

constexpr const char* kClassName = "vorel_device::VorelFTSensor";

TEST(DeviceLoadTest, Plugin_Dlopen_RegistersMakerCreatesThroughFactoryUntilUnload) {
  ASSERT_EQ(BundleInstanceFactory::instance().findMaker(kClassName), nullptr);

  void* library = dlopen(VOREL_DEVICE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();

  auto* maker = BundleInstanceFactory::instance().findMaker(kClassName);
  ASSERT_NE(maker, nullptr);
  {
    vorel_test::InstalledController controller;
    boost::property_tree::ptree config;
    config.put("<xmlattr>.class", kClassName);
    config.put("<xmlattr>.label", "ft_sensor");
    config.put("<xmlattr>.plux", "vorel");
    auto device = maker->create(controller.program(), config);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->getClass(), kClassName);
    EXPECT_EQ(device->getLabel(), "ft_sensor");
    EXPECT_EQ(device->getPlux(), "vorel");
    EXPECT_EQ(device->onCreate(), 0);
    EXPECT_FALSE(device->activationParams());
  }  // the device goes before its code is unloaded

  ASSERT_EQ(dlclose(library), 0);
  EXPECT_EQ(BundleInstanceFactory::instance().findMaker(kClassName), nullptr);
}

}  // namespace
