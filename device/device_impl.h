// What the installed device header hides: the device's collaborators.
//   SegmentBinding  the command facade and the device-level lifecycle lock
//   Workers         reader, force control, port, recorder and black box
//   Commissioning   tool-load samples and their identification
// moveToContact runs a GuardedApproach on the binding.
#pragma once

#include <atomic>
#include <boost/any.hpp>
#include <functional>

#include "device/commissioning.h"
#include "device/segment_binding.h"
#include "device/vorel_ft_sensor.h"
#include "device/workers.h"

namespace vorel_device {

struct VorelFTSensor::Impl {
  Impl(VorelFTSensor& device, const boost::property_tree::ptree& config)
      : workers(config), binding(device), commissioning(binding, device) {}

  Workers workers;
  SegmentBinding binding;
  Commissioning commissioning;
};

// The device's collaborators for the device's own files and for tests
// (device/test_hooks.h).
struct DeviceInternals {
  static VorelFTSensor::Impl& of(VorelFTSensor& device) { return *device.impl_; }
  static const VorelFTSensor::Impl& of(const VorelFTSensor& device) { return *device.impl_; }
};

// Registers `handler` for signal type T on the signal bus under the device's
// subscriber id; a second registration under the same id is ignored.
template <class T>
void subscribe(VorelFTSensor& device, void (VorelFTSensor::*handler)(const T&)) {
  auto stream = device.signalBus().findOrCreateStream<T>();
  stream->registerCallback(
      device.subscriberId(),
      boost::any(std::function<void(const T&)>(
          [&device, handler](const T& signal) { (device.*handler)(signal); })));
}

}  // namespace vorel_device
