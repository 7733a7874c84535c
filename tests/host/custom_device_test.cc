// Activation of a device through the plug-in frame: the device's own
// onActivate result is passed on, and an exception leaving it (a malformed
// argument, a failed port) becomes a result the device reports as an
// exception event. Creation through the maker factory is tested with the real
// device library loaded as a host loads it.
#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <functional>
#include <stdexcept>

#include "host/bundle.h"
#include "tests/support/installed_controller.h"

namespace {

using boost::property_tree::ptree;
using hx4_program_api::CmdResult;

// A device whose onActivate runs the test's function.
class TestDevice : public hx4_bundle_api::CustomDevice {
 public:
  TestDevice(boost::shared_ptr<hx4_program_api::ProgramInterface> program,
             std::function<CmdResult<void*>(const ptree&)> on_activate)
      : CustomDevice(std::move(program), ptree()), on_activate_(std::move(on_activate)) {}
  CmdResult<void*> onActivate(const ptree& params) override { return on_activate_(params); }

 private:
  std::function<CmdResult<void*>(const ptree&)> on_activate_;
};

TEST(CustomDevice, Activate_ResultPassedOnAndExceptionsBecomeKindOneWithText) {
  vorel_test::InstalledController ctl;
  ptree params;
  params.put("arg", "/dev/null");
  ptree seen;
  TestDevice ok(ctl.program(), [&seen](const ptree& p) {
    seen = p;
    return CmdResult<void*>::Success();
  });
  EXPECT_TRUE(ok.activate(params).ok());
  EXPECT_EQ(seen, params);

  TestDevice failing(ctl.program(), [](const ptree&) {
    return CmdResult<void*>::Error(12, "Failed to start the adaptive thread.");
  });
  const CmdResult<void*> failed = failing.activate(params);
  EXPECT_EQ(failed.kind(), 2);
  EXPECT_EQ(failed.code(), 12);
  EXPECT_EQ(failed.message(), "Failed to start the adaptive thread.");

  TestDevice throwing(
      ctl.program(), [](const ptree&) -> CmdResult<void*> { throw std::runtime_error("no port"); });
  const CmdResult<void*> thrown = throwing.activate(params);
  EXPECT_FALSE(thrown.ok());
  EXPECT_EQ(thrown.kind(), 1);
  EXPECT_EQ(thrown.code(), -1);
  EXPECT_EQ(thrown.message(), "no port");

  TestDevice other(ctl.program(), [](const ptree&) -> CmdResult<void*> { throw 42; });
  const CmdResult<void*> unknown = other.activate(params);
  EXPECT_EQ(unknown.kind(), 1);
  EXPECT_EQ(unknown.code(), -1);
  EXPECT_EQ(unknown.message(), "unknown exception");
  EXPECT_NE(ok.subscriberId(), other.subscriberId());
}

}  // namespace
