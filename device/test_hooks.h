// For tests that look inside a device: its workers, its port and the
// activation's sampling rate. Not installed: hosts and robot programs use
// the device's functions and lifecycle only.
#pragma once

#include <boost/shared_ptr.hpp>
#include <string>

#include "adaptive/force_control_thread.h"
#include "comm/command_facade.h"
#include "comm/sensor_reader.h"
#include "device/device_impl.h"

namespace vorel_device::test_hooks {

// May be empty: before activation (reader, force control) or binding (facade).
inline boost::shared_ptr<VorelForceTorqueSensorComm> sensorComm(const VorelFTSensor& device) {
  return DeviceInternals::of(device).workers.reader();
}
inline boost::shared_ptr<AdaptiveThread> adaptiveThread(const VorelFTSensor& device) {
  return DeviceInternals::of(device).workers.forceControl();
}
inline boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance> secondaryInstance(
    const VorelFTSensor& device) {
  return DeviceInternals::of(device).binding.facade();
}
// The serial port's descriptor; -1: no port.
inline int portFd(const VorelFTSensor& device) {
  return DeviceInternals::of(device).workers.port();
}
// Hz: 500, 250 or 100, chosen at activation.
inline double samplingRate(const VorelFTSensor& device) {
  return DeviceInternals::of(device).workers.samplingRate();
}
// The serial-line set-up of activation alone, on `path`.
inline void openPort(VorelFTSensor& device, const std::string& path) {
  Workers& workers = DeviceInternals::of(device).workers;
  workers.setDevicePath(path);
  workers.openPort();
}
inline void closePort(VorelFTSensor& device) {
  DeviceInternals::of(device).workers.closePort();
}

}  // namespace vorel_device::test_hooks
