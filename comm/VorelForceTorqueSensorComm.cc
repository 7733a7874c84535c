#include "comm/VorelForceTorqueSensorComm.h"

#include "comm/serial_port.h"

namespace vorel_device {

VorelForceTorqueSensorComm::VorelForceTorqueSensorComm(int period_ms)
    : PeriodicThread(period_ms),
      synced(false),
      crc_error_count(0),
      last_ft_data{0.0, 0.0, 0.0, 0.0, 0.0, 0.0},
      data_mutex(),
      rx_frame(),
      port_fd(serial_port::kNoPort),
      read_counter(0) {}

VorelForceTorqueSensorComm::~VorelForceTorqueSensorComm() {
  stopAndJoin();
}

void VorelForceTorqueSensorComm::initMethod() {}

void VorelForceTorqueSensorComm::cycleMethod() {
  readFrame();
}

void VorelForceTorqueSensorComm::setPort(int& fd) {
  port_fd = fd;
}

void VorelForceTorqueSensorComm::countCycle() {
  read_counter.fetch_add(1);
  // [shared segment] store read_counter into "frame_counter" under
  // "VorelNamedMutex" (held only for that store).
}

int VorelForceTorqueSensorComm::readFrame() {
  countCycle();
  PortSource port{*this};
  return readFrameFrom(port);
}

bool VorelForceTorqueSensorComm::checkSync() {
  const bool header_ok = rx_frame.header == RxFrame::kHeader;
  if (synced) {
    // A synchronised stream loses synchronisation only through a wrong
    // header; a wrong CRC is reported by the caller and keeps the alignment.
    synced = header_ok;
    return synced;
  }
  // Seeking synchronisation: the count restarts, and the CRC is checked even
  // when the header is wrong, so a failed window counts 1.
  crc_error_count = 0;
  const bool crc_ok = isCrcOk();
  synced = header_ok && crc_ok;
  return synced;
}

bool VorelForceTorqueSensorComm::isCrcOk() {
  const std::uint16_t received = rx_frame.crc;  // little-endian on the wire and in memory
  if (crc16_x25(rx_frame.data(), RxFrame::kDataSize) == received)
    return true;
  ++crc_error_count;
  return false;
}

int VorelForceTorqueSensorComm::serialAvailable() {
  return serial_port::pending(port_fd);
}

int VorelForceTorqueSensorComm::serialReadBytes(std::uint8_t* buf, std::size_t len) {
  return static_cast<int>(serial_port::read(port_fd, buf, len));
}

}  // namespace vorel_device
