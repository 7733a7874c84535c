#include "comm/sensor_reader.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "host/console.h"

#include "comm/serial_port.h"

namespace vorel_device {

namespace ss = shared_segment;

namespace {

// The sensor's sampling rates, fastest first, with the filter setting of
// each: the four values of the "f" command.
struct FilterSetting {
  double rate;  // Hz
  const char* message;
  unsigned values[4];
};

constexpr FilterSetting kRates[] = {
    {500.0, "Set filter parameters for 500 Hz\n", {86, 0, 0, 1}},
    {250.0, "Set filter parameters for 250 Hz\n", {172, 0, 0, 1}},
    {100.0, "Set filter parameters for 100 Hz\n", {430, 0, 0, 1}},
};

// The setting for `frequency` (Hz): the fastest rate it reaches, else the
// slowest (a NaN frequency reaches none).
const FilterSetting& filterFor(double frequency) {
  for (const FilterSetting& setting : kRates) {
    if (frequency >= setting.rate)
      return setting;
  }
  return kRates[sizeof kRates / sizeof kRates[0] - 1];
}

constexpr std::size_t kAcknowledgementSize = 7;  // bytes, content not examined

}  // namespace

double VorelForceTorqueSensorComm::samplingRateFor(double frequency) {
  return filterFor(frequency).rate;
}

// Member order does the sequencing: segment_mutex starts empty, the removal
// guard removes stale names, the segment is created (open-or-create on a
// removed name: always afresh), then the body creates the mutex and the
// objects. An exception from any step unwinds the guard, which removes both
// names again.
// The base pauses 0 ms: the wait for a frame paces the cycles.
VorelForceTorqueSensorComm::VorelForceTorqueSensorComm(int wait_bound_ms)
    : PeriodicThread(0),
      wait_bound_ms(wait_bound_ms < 0 ? 0 : wait_bound_ms),
      last_ft_data{0.0, 0.0, 0.0, 0.0, 0.0, 0.0},
      data_mutex(),
      segment_mutex(),
      removal_guard(),
      rx_frame(),
      objects(),
      port_fd(serial_port::kNoPort),
      read_counter(0),
      segment(ss::createSegment()) {
  segment_mutex = ss::createMutex();
  objects = ss::constructObjects(segment);
}

VorelForceTorqueSensorComm::~VorelForceTorqueSensorComm() {
  stopAndJoin();
}

void VorelForceTorqueSensorComm::initMethod() {}

void VorelForceTorqueSensorComm::cycleMethod() {
  waitForFrame();
  try {
    readSensor();
    lock_failed = false;
  } catch (const std::exception& e) {
    // The named mutex was not acquired within its bound (or the segment
    // failed): this cycle's frame is not published. One line per episode.
    if (!lock_failed) {
      lines.post(LineQueue::Channel::kConsole, "[ERROR] Sensor reader: %s; frame not published",
                 e.what());
    }
    lock_failed = true;
  }
}

void VorelForceTorqueSensorComm::waitForFrame() {
  const long bound_us = static_cast<long>(wait_bound_ms) * 1000L;
  if (read_failed) {
    timespec pause{bound_us / 1000000L, (bound_us % 1000000L) * 1000L};
    while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
    }
    return;
  }
  pending_seen =
      serial_port::waitPending(port_fd, static_cast<int>(synchroniser.missing()), bound_us);
}

void VorelForceTorqueSensorComm::setPort(int& fd) {
  port_fd = fd;
}

void VorelForceTorqueSensorComm::countCycle() {
  read_counter.fetch_add(1);
  ss::Lock lock(*segment_mutex);
  *objects.frame_counter = read_counter.load();
  writeCounters(*objects.sensor_health);
}

void VorelForceTorqueSensorComm::writeCounters(SensorHealth& health) const {
  health.crc_errors = synchroniser.counts().crc_errors;
  health.lost_sync_events = synchroniser.counts().sync_losses;
}

void VorelForceTorqueSensorComm::readSensor() {
  if (readFrame() == kFrameOk)
    publishFrame();
  const FrameSynchroniser::Counts& counts = synchroniser.counts();
  ReaderDiagnostics::Totals totals;
  totals.frames = counts.frames;
  totals.flagged = flagged_frames;
  totals.last_flag_status = last_flag_status;
  totals.crc_errors = counts.crc_errors;
  totals.sync_losses = counts.sync_losses;
  totals.bytes_skipped = counts.bytes_skipped;
  totals.synced = synchroniser.isSynced();
  diagnostics.update(totals, clock_ms());
}

void VorelForceTorqueSensorComm::finishDiagnostics() {
  diagnostics.finish();
  lines.flush();
}

void VorelForceTorqueSensorComm::afterStop() {
  lines.flush();
}

std::int64_t VorelForceTorqueSensorComm::monotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void VorelForceTorqueSensorComm::publishFrame() {
  const std::uint16_t status = rx_frame.status;
  {
    std::lock_guard<tmvz_periodic_thread::PiMutex> data_lock(data_mutex);
    {
      // The whole frame, whatever its status: consumers take it as it is.
      ss::Lock lock(*segment_mutex);
      *objects.frame = rx_frame;
      SensorHealth& health = *objects.sensor_health;
      ++health.frames_published;
      health.last_status = status;
      writeCounters(health);
    }
    // A flagged frame leaves last_ft_data as it was.
    if (hasValidForces(rx_frame)) {
      for (int i = 0; i < 6; ++i)
        last_ft_data[i] = static_cast<double>(rx_frame.ft_data[i]);
    }
  }
}

void VorelForceTorqueSensorComm::getFTData(double (&out)[6]) {
  // The count is read and restarted in one step, so a cycle counted between
  // the two is not lost.
  std::printf("Read frames: %i\n", read_counter.exchange(0));
  std::fflush(stdout);
  std::lock_guard<tmvz_periodic_thread::PiMutex> data_lock(data_mutex);
  for (int i = 0; i < 6; ++i)
    out[i] = last_ft_data[i];
}

void VorelForceTorqueSensorComm::sendCommand(const char* text) {
  serial_port::write(port_fd, text, std::strlen(text));
}

bool VorelForceTorqueSensorComm::configureFilter(double rate) {
  std::printf("Configure Filter\n");
  std::printf("Set to config mode\n");
  std::fflush(stdout);
  sendCommand("C");
  if (!waitForAcknowledgement())
    return false;

  const FilterSetting& setting = filterFor(rate);
  std::printf("%s", setting.message);
  char command[100];
  std::snprintf(command, sizeof(command), "f,%u,%u,%u,%u", setting.values[0], setting.values[1],
                setting.values[2], setting.values[3]);
  std::printf("Send command: %s with lenght %i\n", command, static_cast<int>(std::strlen(command)));
  std::printf("Send cmd %s\n", command);
  std::fflush(stdout);
  sendCommand(command);
  if (!waitForAcknowledgement())
    return false;

  std::printf("Save configuration.\n");
  std::fflush(stdout);
  sendCommand("s");
  if (!waitForAcknowledgement())
    return false;

  std::printf("Set run mode\n");
  std::fflush(stdout);
  sendCommand("R");
  return true;
}

bool VorelForceTorqueSensorComm::waitForAcknowledgement() {
  if (serialAvailable() < static_cast<int>(kAcknowledgementSize))
    return true;
  std::uint8_t scratch[kAcknowledgementSize];
  if (serialReadBytes(scratch, kAcknowledgementSize) < 0) {
    std::printf("Error reading from port\n");
    std::fflush(stdout);
    return false;
  }
  return true;
}

int VorelForceTorqueSensorComm::readFrame() {
  countCycle();
  PortSource port{*this, std::exchange(pending_seen, -1)};
  return readFrameFrom(port);
}

bool VorelForceTorqueSensorComm::isCrcOk() const {
  const std::uint16_t received = rx_frame.crc;  // little-endian on the wire and in memory
  return crc16_x25(rx_frame.data(), RxFrame::kDataSize) == received;
}

int VorelForceTorqueSensorComm::serialAvailable() {
  return serial_port::pending(port_fd);
}

int VorelForceTorqueSensorComm::serialReadBytes(std::uint8_t* buf, std::size_t len) {
  return static_cast<int>(serial_port::read(port_fd, buf, len));
}

}  // namespace vorel_device
