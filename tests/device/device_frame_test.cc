// The device object in its host: signal registration, activation through the
// hardware-ready signal, mounting of the tool load.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <mutex>

#include "tests/device/device_fixture.h"

namespace vorel_device_test {
namespace {

const std::string kActivation = activationXml("/dev/null", "500");

// A device whose activation result the test chooses; counts activations.
class ScriptedActivation : public VorelFTSensor {
 public:
  using VorelFTSensor::VorelFTSensor;

  Result onActivate(const ptree& params) override {
    activated_with = params;
    ++activations;
    return result;
  }

  std::atomic<int> activations{0};
  ptree activated_with;  // written before the count
  Result result = Result::Success();
};

// Collects the events of one type published on a bus.
template <class Event>
class EventSink {
 public:
  EventSink(hx4_program_api_internals::EventBus& bus, unsigned id) {
    bus.findOrCreateStream<Event>()->registerCallback(
        id, boost::any(std::function<void(const Event&)>([this](const Event& event) {
          std::lock_guard<std::mutex> lock(mutex_);
          events_.push_back(event);
        })));
  }
  bool await(std::size_t n) {
    return vorel_test::pollUntil([&] { return events().size() >= n; });
  }
  std::vector<Event> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<Event> events_;
};

class DeviceFrameTest : public ::testing::Test {
 protected:
  // Publishes a signal on the host's signal bus, as the host does.
  template <class Signal>
  void publish(const Signal& signal) {
    controller.program()->signalBus().findOrCreateStream<Signal>()->publish(boost::any(signal));
  }

  vorel_test::InstalledController controller;
};

TEST_F(DeviceFrameTest, HWReady_WithoutActivationParams_DoesNothing) {
  auto device = boost::make_shared<ScriptedActivation>(controller.program(), deviceConfig(""));
  device->onHWReady(hx4_signal::HWReady{});
  EXPECT_EQ(device->activations, 0);
}

// The hardware-ready signal activates the device on the signal's delivery
// thread; a failed activation is published with the device's identity as an
// Error or an Exception event.
struct HWReadyCase {
  const char* name;
  VorelFTSensor::Result result;
  std::size_t errors, exceptions;
};

class DeviceHWReadyTest : public DeviceFrameTest,
                          public ::testing::WithParamInterface<HWReadyCase> {};

TEST_P(DeviceHWReadyTest, HWReady_ActivationResult_PublishedAsItsEvent) {
  auto device =
      boost::make_shared<ScriptedActivation>(controller.program(), deviceConfig(kActivation));
  device->result = GetParam().result;
  EventSink<hx4_bundle::Error> errors(controller.program()->eventBus(), 9001);
  EventSink<hx4_bundle::Exception> exceptions(controller.program()->eventBus(), 9001);
  ASSERT_EQ(device->onCreate(), 0);

  publish(hx4_signal::HWReady{});

  ASSERT_TRUE(vorel_test::pollUntil([&] { return device->activations >= 1; }));
  EXPECT_EQ(device->activated_with.template get<std::string>("arg"), "/dev/null");
  ASSERT_TRUE(errors.await(GetParam().errors));
  ASSERT_TRUE(exceptions.await(GetParam().exceptions));
  EXPECT_EQ(errors.events().size(), GetParam().errors);
  EXPECT_EQ(exceptions.events().size(), GetParam().exceptions);
  for (const hx4_bundle::Error& error : errors.events()) {
    EXPECT_EQ(error.plux(), "vorel");
    EXPECT_EQ(error.className(), "vorel_device::VorelFTSensor");
    EXPECT_EQ(error.label(), "ft_sensor");
    EXPECT_EQ(error.code(), -1);
    EXPECT_EQ(error.message(), "Failed to start the adaptive thread.");
  }
  for (const hx4_bundle::Exception& exception : exceptions.events()) {
    EXPECT_EQ(exception.code(), -7);
    EXPECT_EQ(exception.message(), "segment could not be created");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Results, DeviceHWReadyTest,
    ::testing::Values(
        HWReadyCase{"Success", VorelFTSensor::Result::Success(), 0, 0},
        HWReadyCase{"Error",
                    VorelFTSensor::Result::Error(-1, "Failed to start the adaptive thread."), 1, 0},
        HWReadyCase{"Exception",
                    VorelFTSensor::Result::Exception(-7, "segment could not be created"), 0, 1}),
    [](const ::testing::TestParamInfo<HWReadyCase>& info) { return std::string(info.param.name); });

TEST_F(DeviceFrameTest, HWReady_FailureWithoutStream_PublishesNothingAndSurvives) {
  auto device =
      boost::make_shared<ScriptedActivation>(controller.program(), deviceConfig(kActivation));
  device->result = VorelFTSensor::Result::Error(-1, "failed");
  device->onHWReady(hx4_signal::HWReady{});
  EXPECT_EQ(device->activations, 1);
  EXPECT_FALSE(controller.program()->eventBus().findStream<hx4_bundle::Error>());
}

TEST_F(DeviceFrameTest, OnCreate_Twice_RegistersOneCallback) {
  auto device = boost::make_shared<VorelFTSensor>(controller.program(), deviceConfig(""));
  ASSERT_EQ(device->onCreate(), 0);
  ASSERT_EQ(device->onCreate(), 0);
  auto stream = controller.program()->signalBus().findStream<hx4_signal::HWReady>();
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->callbackCount(), 1u);
}

TEST_F(DeviceFrameTest, OnMount_ReplacesHostToolLoad_OnUnmountKeepsIt) {
  auto device =
      boost::make_shared<VorelFTSensor>(controller.program(), deviceConfig(mountingXml()));
  controller->setToolLoad(0.8, hx4rc_api::Vector(0.0, 0.0, 0.04));

  ASSERT_TRUE(device->onMount(*device->mountingParams()).ok());

  const hx4rc_api::Load tool = controller->loadRecord(hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_DOUBLE_EQ(tool.inertia.mass, 2.0);
  EXPECT_EQ(tool.inertia.cog, hx4rc_api::Vector(0.1, 0.0, 0.0));
  ASSERT_EQ(controller->loadWrites().size(), 1u);
  EXPECT_EQ(controller->loadWrites()[0].id, hx4rc_api::Load::SysId::LOAD_TOOL);

  ASSERT_TRUE(device->onUnmount().ok());
  EXPECT_EQ(controller->loadWrites().size(), 1u);
  EXPECT_DOUBLE_EQ(controller->loadRecord(hx4rc_api::Load::SysId::LOAD_TOOL).inertia.mass, 2.0);
}

TEST_F(DeviceFrameTest, OnMount_MissingLoad_ReportsTheArgument) {
  auto device = boost::make_shared<VorelFTSensor>(controller.program(),
                                                  deviceConfig("<mounting></mounting>"));
  try {
    device->onMount(*device->mountingParams());
    FAIL() << "a missing load must be reported";
  } catch (const hx4_bundle::Error& e) {
    EXPECT_NE(std::string(e.what()).find("argument 0"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("load"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(controller->loadWrites().empty());
}

}  // namespace
}  // namespace vorel_device_test
