// Control resources, on an installed stepping controller.
#include "host/control_resources.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/installed_controller.h"

namespace {

using hx4_program_api_internals::ControllerBackend;
using hx4_program_api_internals::ControlResources;

TEST(ControlResources, Lifetime_AcquiresAndReleasesOnceOnTheControllerCurrentAtConstruction) {
  vorel_test::InstalledController ctl;
  auto outer = std::make_unique<ControlResources>(false);
  EXPECT_EQ(ctl->acquireCount(), 1u);
  {
    ControlResources inner(true);
    EXPECT_EQ(ctl->acquireCount(), 2u);
  }
  EXPECT_EQ(ctl->releaseCount(), 1u);
  {
    vorel_test::InstalledController second;  // installed after `outer` was built
    outer.reset();
    EXPECT_EQ(second->releaseCount(), 0u);
  }
  EXPECT_EQ(ctl->acquireCount(), 2u);
  EXPECT_EQ(ctl->releaseCount(), 2u);
}

TEST(ControlResources, NoControllerInstalled_NoStatusAndNoCrash) {
  ASSERT_FALSE(ControllerBackend::current());
  ControlResources resources(false);
  EXPECT_FALSE(resources.status());
}

}  // namespace
