#include "sim/sensor/sensor_emulator.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "comm/sensor_protocol.h"

namespace vorel_sim {

namespace {

using vorel_device::RxFrame;

constexpr std::int64_t kNanosPerSecond = 1000000000;
// A 37-byte frame on the 460800 baud line (10 bits per byte with start and
// stop bit): 803 us.
constexpr std::int64_t kFrameLineTimeNs = RxFrame::kSize * 10 * kNanosPerSecond / 460800;

std::int64_t monotonicNanos() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

// Sleeps until the absolute CLOCK_MONOTONIC time `deadline_ns`.
void sleepUntil(std::int64_t deadline_ns) {
  timespec deadline;
  deadline.tv_sec = static_cast<time_t>(deadline_ns / kNanosPerSecond);
  deadline.tv_nsec = static_cast<long>(deadline_ns % kNanosPerSecond);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

// float32 of a wrench component; beyond the float range the sign's infinity.
float toFloat(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax)
    return std::numeric_limits<float>::infinity();
  if (value < -kMax)
    return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);  // NaN stays NaN
}

void putLe32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t getLe32(const std::uint8_t* at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i)
    value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
  return value;
}

}  // namespace

SensorEmulator::SensorEmulator(std::uint64_t seed) : faults_(seed) {}

SensorEmulator::~SensorEmulator() {
  joinThreads();
}

bool SensorEmulator::start() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  if (running_.load() || hung_up_.load())
    return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_requested_ = false;
  }
  parser_.reset();
  sender_ = std::thread(&SensorEmulator::senderLoop, this);
  commander_ = std::thread(&SensorEmulator::commandLoop, this);
  sender_priority_.store(0);
  if (requested_sender_priority_ > 0) {
    sched_param param{};
    param.sched_priority = requested_sender_priority_;
    if (pthread_setschedparam(sender_.native_handle(), SCHED_FIFO, &param) == 0)
      sender_priority_.store(requested_sender_priority_);
  }
  running_.store(true);
  return true;
}

void SensorEmulator::setSenderPriority(int priority) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  requested_sender_priority_ = priority < 0 ? 0 : priority;
}

void SensorEmulator::stop() {
  if (std::this_thread::get_id() == sender_id_.load()) {
    throw std::logic_error("SensorEmulator::stop called from the wrench provider");
  }
  joinThreads();
}

void SensorEmulator::joinThreads() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  joinThreadsLocked();
}

void SensorEmulator::joinThreadsLocked() {
  if (!running_.load())
    return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_requested_ = true;
  }
  changed_.notify_all();
  pty_.interrupt();
  sender_.join();
  commander_.join();
  sender_id_.store(std::thread::id());
  running_.store(false);
}

void SensorEmulator::hangUp() {
  if (std::this_thread::get_id() == sender_id_.load()) {
    throw std::logic_error("SensorEmulator::hangUp called from the wrench provider");
  }
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  joinThreadsLocked();  // no thread uses the master any more
  std::lock_guard<std::mutex> lock(mutex_);
  pty_.hangUp();
  hung_up_.store(true);
}

void SensorEmulator::setWrench(const vorel_device::Wrench& wrench) {
  std::lock_guard<std::mutex> lock(mutex_);
  wrench_ = wrench;
}

vorel_device::Wrench SensorEmulator::wrench() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wrench_;
}

void SensorEmulator::setWrenchProvider(WrenchProvider provider) {
  std::shared_ptr<const WrenchProvider> held;
  if (provider)
    held = std::make_shared<const WrenchProvider>(std::move(provider));
  std::lock_guard<std::mutex> lock(mutex_);
  provider_.swap(held);
  // The previous provider is released outside the lock (it may be in use by
  // the sender thread, which holds its own reference).
}

void SensorEmulator::setStatus(std::uint16_t status) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = status;
}

std::uint16_t SensorEmulator::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

bool SensorEmulator::inConfigMode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_mode_;
}

double SensorEmulator::rateHz() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<double>(kNanosPerSecond) / static_cast<double>(period_ns_);
}

SensorEmulator::FilterSetting SensorEmulator::filterSetting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return filter_;
}

std::optional<SensorEmulator::FilterSetting> SensorEmulator::savedFilterSetting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return saved_filter_;
}

std::vector<std::string> SensorEmulator::commandLog() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return command_log_;
}

bool SensorEmulator::waitForCommands(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return command_log_.size() >= count; });
}

void SensorEmulator::corruptNextCrcs(std::uint32_t frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.corruptNextCrcs(frames);
}

void SensorEmulator::setCrcErrorProbability(double p) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.setCrcErrorProbability(p);
}

void SensorEmulator::setByteDropProbability(double p) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.setByteDropProbability(p);
}

void SensorEmulator::setByteInsertProbability(double p) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.setByteInsertProbability(p);
}

void SensorEmulator::setStatusFault(std::uint16_t bits, double p) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.setStatusFault(bits, p);
}

void SensorEmulator::sendNanFrame() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.nanNextFrame();
}

void SensorEmulator::sendGarbage(std::size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  garbage_pending_ += bytes;
}

void SensorEmulator::sendGarbageFor(std::chrono::milliseconds duration) {
  const Clock::time_point until = Clock::now() + duration;
  std::lock_guard<std::mutex> lock(mutex_);
  if (until > garbage_until_)
    garbage_until_ = until;
}

void SensorEmulator::clearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
  garbage_pending_ = 0;
  garbage_until_ = Clock::time_point();
}

SensorEmulator::Counters SensorEmulator::counters() const {
  Counters c;
  c.frames_sent = frames_sent_.load();
  c.bytes_sent = bytes_sent_.load();
  c.faults_injected = faults_injected_.load();
  c.crc_errors = crc_errors_.load();
  c.bytes_dropped = bytes_dropped_.load();
  c.bytes_inserted = bytes_inserted_.load();
  c.garbage_bytes = garbage_bytes_.load();
  c.acks_sent = acks_sent_.load();
  c.bytes_lost = bytes_lost_.load();
  c.late_ticks = late_ticks_.load();
  c.ignored_bytes = ignored_bytes_.load();
  c.status_frames = status_frames_.load();
  c.nan_frames = nan_frames_.load();
  return c;
}

std::array<std::uint8_t, SensorEmulator::kAckSize> SensorEmulator::acknowledgement(char command) {
  return {{'A', 'C', 'K', ' ', static_cast<std::uint8_t>(command), '\r', '\n'}};
}

RxFrame SensorEmulator::makeFrame(const vorel_device::Wrench& wrench, std::uint16_t status,
                                  FrameStamp stamp) {
  RxFrame frame;
  std::memset(&frame, 0, sizeof(frame));
  frame.header = RxFrame::kHeader;
  frame.status = status;
  for (int i = 0; i < 6; ++i)
    frame.ft_data[i] = toFloat(wrench[i]);
  putLe32(frame.extra, stamp.sequence);
  putLe32(frame.extra + 4, stamp.send_time_us);
  frame.crc = vorel_device::SensorProtocol::crc16_x25(frame.data(), RxFrame::kDataSize);
  return frame;
}

SensorEmulator::FrameStamp SensorEmulator::decodeStamp(const RxFrame& frame) {
  return decodeStamp(frame.extra);
}

SensorEmulator::FrameStamp SensorEmulator::decodeStamp(const std::uint8_t (&extra)[8]) {
  FrameStamp stamp;
  stamp.sequence = getLe32(extra);
  stamp.send_time_us = getLe32(extra + 4);
  return stamp;
}

std::uint32_t SensorEmulator::monotonicMicros() {
  return static_cast<std::uint32_t>(monotonicNanos() / 1000);
}

double SensorEmulator::rateForFilter(const FilterSetting& setting) {
  switch (setting[0]) {
    case 86:
      return 500.0;
    case 172:
      return 250.0;
    case 430:
      return 100.0;
    default:
      return 0.0;
  }
}

void SensorEmulator::sendLocked(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty())
    return;
  const std::size_t accepted = pty_.writeSome(bytes.data(), bytes.size());
  bytes_sent_.fetch_add(accepted);
  bytes_lost_.fetch_add(bytes.size() - accepted);
}

void SensorEmulator::senderLoop() {
  // Known before the provider can first run, so that stop() and hangUp()
  // recognise a call from it.
  sender_id_.store(std::this_thread::get_id());
  std::unique_lock<std::mutex> lock(mutex_);
  bool restart = true;
  std::uint64_t epoch = run_epoch_;
  std::int64_t deadline = 0;
  while (!stop_requested_) {
    if (config_mode_) {
      changed_.wait(lock, [this] { return stop_requested_ || !config_mode_; });
      continue;
    }
    if (epoch != run_epoch_) {
      // Back in run mode: the first frame follows one period after "R".
      epoch = run_epoch_;
      restart = true;
    }
    if (restart) {
      deadline = monotonicNanos() + period_ns_;
      restart = false;
    }
    lock.unlock();
    sleepUntil(deadline);
    lock.lock();
    if (stop_requested_ || config_mode_ || epoch != run_epoch_)
      continue;

    const std::int64_t now_ns = monotonicNanos();
    const Clock::time_point now{std::chrono::nanoseconds(now_ns)};
    FrameStamp stamp;
    stamp.sequence = sequence_++;
    stamp.send_time_us = static_cast<std::uint32_t>(now_ns / 1000);
    vorel_device::Wrench wrench = wrench_;
    if (const std::shared_ptr<const WrenchProvider> provider = provider_) {
      lock.unlock();
      bool provided = true;
      try {
        wrench = (*provider)(now);
      } catch (const std::exception& e) {
        // The frame time passes without a frame; the stream goes on.
        std::fprintf(stderr, "sensor emulator: wrench provider failed: %s\n", e.what());
        provided = false;
      }
      lock.lock();
      if (!provided)
        continue;
      // "C" while the provider ran: this measurement is not sent.
      if (stop_requested_ || config_mode_ || epoch != run_epoch_)
        continue;
    }

    out_.clear();
    if (garbage_pending_ > 0) {
      faults_.garbage(garbage_pending_, out_);
      garbage_bytes_.fetch_add(garbage_pending_);
      faults_injected_.fetch_add(1);
      garbage_pending_ = 0;
    }
    if (now < garbage_until_) {
      faults_.garbage(RxFrame::kSize, out_);
      garbage_bytes_.fetch_add(RxFrame::kSize);
      faults_injected_.fetch_add(1);
    } else {
      std::uint16_t status = status_;
      const FaultInjector::Spoiled spoiled = faults_.spoil(wrench, status);
      status_frames_.fetch_add(spoiled.status ? 1 : 0);
      nan_frames_.fetch_add(spoiled.nan ? 1 : 0);
      faults_injected_.fetch_add((spoiled.status ? 1 : 0) + (spoiled.nan ? 1 : 0));
      const FaultInjector::Tally tally = faults_.encode(makeFrame(wrench, status, stamp), out_);
      const std::uint64_t crc = tally.crc_corrupted ? 1 : 0;
      crc_errors_.fetch_add(crc);
      bytes_dropped_.fetch_add(tally.bytes_dropped);
      bytes_inserted_.fetch_add(tally.bytes_inserted);
      faults_injected_.fetch_add(crc + tally.bytes_dropped + tally.bytes_inserted);
      frames_sent_.fetch_add(1);
    }
    sendLocked(out_);

    deadline += period_ns_;
    const std::int64_t after = monotonicNanos();
    if (deadline <= after) {
      // A whole period or more behind: the missed frames are not sent in a
      // burst; the schedule restarts one period after this late frame.
      late_ticks_.fetch_add(1);
      deadline = after + period_ns_;
    } else if (deadline < after + kFrameLineTimeNs) {
      // A late frame is not followed closer than a frame takes on the line.
      deadline = after + kFrameLineTimeNs;
    }
  }
}

void SensorEmulator::commandLoop() {
  std::vector<SensorCommand> commands;
  std::uint8_t buf[256];
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_requested_)
        return;
    }
    const int timeout_ms = parser_.awaitingMore() ? static_cast<int>(kCommandIdle.count()) : -1;
    std::size_t received = 0;
    switch (pty_.waitInput(buf, sizeof(buf), timeout_ms, received)) {
      case PseudoTerminal::Input::data:
        parser_.feed(buf, received, commands);
        break;
      case PseudoTerminal::Input::idle:
        if (parser_.awaitingMore())
          parser_.flush(commands);
        break;
      case PseudoTerminal::Input::interrupted:
        break;
      case PseudoTerminal::Input::failed:
        std::fprintf(stderr, "sensor emulator: reading commands from %s failed\n",
                     pty_.slavePath().c_str());
        return;
    }
    ignored_bytes_.store(parser_.ignoredBytes());
    for (const SensorCommand& command : commands)
      handleCommand(command);
    commands.clear();
  }
}

void SensorEmulator::handleCommand(const SensorCommand& command) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    command_log_.push_back(command.text);
    switch (command.kind) {
      case SensorCommand::Kind::enter_config:
        config_mode_ = true;
        break;
      case SensorCommand::Kind::set_filter: {
        filter_ = command.filter;
        const double rate = rateForFilter(filter_);
        if (rate > 0.0)
          period_ns_ = static_cast<std::int64_t>(kNanosPerSecond / rate);
        break;
      }
      case SensorCommand::Kind::save:
        saved_filter_ = filter_;
        break;
      case SensorCommand::Kind::run:
        if (config_mode_) {
          config_mode_ = false;
          ++run_epoch_;
        }
        break;
    }
    const auto ack = acknowledgement(command.text.empty() ? '?' : command.text[0]);
    out_.assign(ack.begin(), ack.end());
    sendLocked(out_);
    acks_sent_.fetch_add(1);
  }
  changed_.notify_all();
}

}  // namespace vorel_sim
