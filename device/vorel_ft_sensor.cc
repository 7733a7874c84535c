#include "device/vorel_ft_sensor.h"

#include "device/device_impl.h"

namespace vorel_device {

VorelFTSensor::VorelFTSensor(boost::shared_ptr<hx4_program_api::ProgramInterface> program,
                             const ptree& config)
    : CustomDevice(std::move(program), config), impl_(std::make_unique<Impl>(*this, config)) {}

// Removes the signal handlers first, waiting for one in progress, so that no
// handler runs on a half-destroyed device; then releases the workers. Stopping
// the workers is the lifecycle's job, never the destructor's.
VorelFTSensor::~VorelFTSensor() {
  signalBus().unsubscribe(subscriberId());
  // A lifecycle step still running on another thread ends before the
  // workers go.
  std::lock_guard<std::shared_timed_mutex> lifecycle(impl_->binding.lifecycleMutex());
}

int VorelFTSensor::onCreate() {
  subscribe<hx4_signal::HWReady>(*this, &VorelFTSensor::onHWReady);
  return 0;
}

void VorelFTSensor::onHWReady(const hx4_signal::HWReady& /*signal*/) {
  if (!activationParams())
    return;
  const Result result = activate(*activationParams());
  auto publish = [this](const boost::any& event, const std::type_info& type) {
    if (auto stream = eventBus().findStream(type))
      stream->publish(event);
  };
  if (result.kind() == Result::kException) {
    publish(boost::any(hx4_bundle::Exception(getPlux(), getClass(), getLabel(), result.code(),
                                             result.message())),
            typeid(hx4_bundle::Exception));
  } else if (result.kind() == Result::kError) {
    publish(boost::any(hx4_bundle::Error(getPlux(), getClass(), getLabel(), result.code(),
                                         result.message())),
            typeid(hx4_bundle::Error));
  }
}

VorelFTSensor::Result VorelFTSensor::onMount(const ptree& params) {
  const hx4_program_api::Load mounted = hx4_bundle_api::ArgProviderXml(params).getLoad(0);
  boost::shared_ptr<hx4_program_api::Load> tool_load =
      program()->systemVariables().getLoad("toolload", hx4rc_api::Load::SysId::LOAD_TOOL);
  *tool_load = mounted;
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::onUnmount() {
  return Result::Success();
}

void VorelFTSensor::onAlarm(const hx4_signal::Alarm& /*signal*/) {}

}  // namespace vorel_device
