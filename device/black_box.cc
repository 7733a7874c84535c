#include "device/black_box.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

#include "comm/force_control_csv.h"
#include "host/console.h"

namespace vorel_device {

namespace fs = std::filesystem;
using recorder::RecorderReader;

namespace {

// How often the thread looks at the ring: well inside the 50 ms liveness
// limit, and a handful of records per look.
constexpr auto kPollPeriod = std::chrono::milliseconds(10);
// Beyond the after-window, how long a file waits for records that come
// slowly before it takes what exists, ns.
constexpr std::int64_t kAfterWaitMarginNs = 1'000'000'000;

std::uint64_t recordsIn(double seconds) {
  return seconds > 0.0 ? static_cast<std::uint64_t>(std::llround(seconds / recorder::kCycleTime))
                       : 0;
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

BlackBox::BlackBox(std::shared_ptr<const RecorderReader> ring, Settings settings)
    : ring_(std::move(ring)),
      settings_(std::move(settings)),
      before_records_(recordsIn(settings_.before_s)),
      after_records_(recordsIn(settings_.after_s)) {}

BlackBox::~BlackBox() {
  stop();
}

bool BlackBox::start() {
  if (thread_.joinable() || !ring_)
    return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_requested_ = false;
  }
  scan_ = ring_->nextIndex();
  seen_next_ = scan_;
  last_advance_ns_ = recorder::monotonicNowNs();
  advancing_ = false;
  // Every page of the file's window written once now, so that writing a
  // file later faults none in: resident memory stays as it is from here on.
  window_.assign(static_cast<std::size_t>(before_records_ + after_records_ + 1),
                 ForceControlRecord());
  window_.clear();
  try {
    thread_ = std::thread(&BlackBox::run, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void BlackBox::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_requested_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable())
    thread_.join();
}

void BlackBox::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_requested_) {
    lock.unlock();
    poll();
    lock.lock();
    wake_.wait_for(lock, kPollPeriod, [this] { return stop_requested_; });
  }
  lock.unlock();
  // A file still waiting for its after-window: what exists now.
  if (pending_)
    writePending();
}

void BlackBox::poll() {
  const std::uint64_t next = ring_->nextIndex();
  const std::int64_t now = recorder::monotonicNowNs();
  if (next != seen_next_) {
    seen_next_ = next;
    last_advance_ns_ = now;
    advancing_ = true;
  }
  // Records this thread fell a whole ring behind on are gone.
  if (next > ring_->capacity() && scan_ < next - ring_->capacity())
    scan_ = next - ring_->capacity();
  ForceControlRecord record;
  for (; scan_ < next; ++scan_) {
    if (pending_ && scan_ > pending_->trigger + after_records_)
      writePending();
    if (ring_->read(scan_, record) == RecorderReader::Read::kOk && record.events != 0)
      notice(scan_, record, now);
  }
  if (pending_ && next > pending_->trigger + after_records_)
    writePending();

  if (settings_.liveness && advancing_ && now - last_advance_ns_ > recorder::kLivenessTimeoutNs) {
    advancing_ = false;
    if (pending_) {
      pending_->liveness_in_window = true;
      writePending();
    } else if (next > 0 && ring_->read(next - 1, record) == RecorderReader::Read::kOk) {
      record.events = 0;
      notice(next - 1, record, now);
      writePending();
    }
  }
  if (pending_ && now - pending_->noticed_ns >
                      static_cast<std::int64_t>(settings_.after_s * 1e9) + kAfterWaitMarginNs)
    writePending();
}

void BlackBox::notice(std::uint64_t index, const ForceControlRecord& record, std::int64_t now_ns) {
  if (pending_) {
    pending_->window_events |= record.events;
    return;
  }
  Pending p;
  p.trigger = index;
  p.events = record.events;
  p.window_events = record.events;
  p.controller_time = record.controller_time;
  p.cycle = record.cycle;
  p.monotonic_ns = record.monotonic_ns;
  p.noticed_ns = now_ns;
  pending_ = p;
}

std::string BlackBox::eventName(std::uint32_t events) {
  static const std::pair<std::uint32_t, const char*> kNames[] = {
      {ForceControlRecord::kStaleTrip, "stale"},
      {ForceControlRecord::kCycleFailure, "cycle-failure"},
      {ForceControlRecord::kLimitBinds, "limit"},
      {ForceControlRecord::kProgramTerminated, "terminated"},
      {ForceControlRecord::kRequest, "request"},
      {ForceControlRecord::kForceLimitEvent, "force-limit"},
  };
  std::string name;
  for (const auto& [bit, text] : kNames) {
    if (events & bit)
      name += (name.empty() ? "" : "+") + std::string(text);
  }
  return name.empty() ? "liveness" : name;
}

std::string BlackBox::fileName(const Pending& p) const {
  // The event's wall-clock time, from its age on the monotonic clock.
  timespec real{};
  ::clock_gettime(CLOCK_REALTIME, &real);
  const std::int64_t at_ns = static_cast<std::int64_t>(real.tv_sec) * 1'000'000'000 + real.tv_nsec -
                             (recorder::monotonicNowNs() - p.monotonic_ns);
  const time_t at_s = static_cast<time_t>(at_ns / 1'000'000'000);
  tm local{};
  localtime_r(&at_s, &local);
  char stamp[64];
  const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03d", static_cast<int>((at_ns / 1'000'000) % 1000));
  return std::string(kFilePrefix) + stamp + "-" + eventName(p.events);
}

void BlackBox::writePending() {
  const Pending p = *pending_;
  pending_.reset();
  const std::uint64_t next = ring_->nextIndex();
  const std::uint64_t first = p.trigger > before_records_ ? p.trigger - before_records_ : 0;
  const std::uint64_t last = std::min(p.trigger + after_records_, next - 1);

  const fs::path directory(settings_.directory);
  const std::string base = fileName(p);
  std::string path = (directory / (base + ".csv")).string();
  std::string reason;
  std::error_code ec;
  bool written = false;
  fs::create_directories(directory, ec);
  if (ec) {
    path = directory.string();
    reason = ec.message();
  } else {
    for (int n = 2; fs::exists(path, ec); ++n)
      path = (directory / (base + "-" + std::to_string(n) + ".csv")).string();
    written = writeFile(path, first, last, reason);
  }
  if (!written) {
    write_failures_.fetch_add(1);
    if (!error_reported_)
      writeLine("[ERROR] Black box: cannot write " + path + ": " + reason +
                "; force control goes on");
    error_reported_ = true;
    return;
  }
  error_reported_ = false;
  files_written_.fetch_add(1);

  std::string text = "[INFO] Black box: wrote " + path + " (" +
                     (p.events ? eventName(p.events) : std::string("the recorder stopped")) +
                     " at t=" + seconds(p.controller_time) + " s, cycle " +
                     std::to_string(p.cycle) + "; " + std::to_string(window_.size()) + " cycles";
  if (!window_.empty()) {
    text += " from t=" + seconds(window_.front().controller_time) +
            " s to t=" + seconds(window_.back().controller_time) + " s";
  }
  const std::uint32_t others = p.window_events & ~p.events;
  if (others != 0 || (p.liveness_in_window && p.events != 0)) {
    text += "; also in this window:";
    if (others != 0)
      text += " " + eventName(others);
    if (p.liveness_in_window)
      text += std::string(others != 0 ? "," : "") + " the recorder stopped";
  }
  writeLine(text + ")");
  pruneOldFiles();
}

bool BlackBox::writeFile(const std::string& path, std::uint64_t first, std::uint64_t last,
                         std::string& reason) {
  // The records first, while the ring still holds them; the file after.
  window_.clear();
  ForceControlRecord record;
  for (std::uint64_t i = first; i <= last; ++i) {
    if (ring_->read(i, record) == RecorderReader::Read::kOk)
      window_.push_back(record);
  }
  const std::string part = path + ".part";
  std::FILE* file = std::fopen(part.c_str(), "wx");
  if (!file) {
    reason = std::strerror(errno);
    return false;
  }
  bool ok = std::fprintf(file, "%s\n", recorder::csvHeader().c_str()) >= 0;
  for (std::size_t i = 0; ok && i < window_.size(); ++i) {
    row_.clear();
    recorder::appendCsvRow(row_, window_[i]);
    ok = std::fwrite(row_.data(), 1, row_.size(), file) == row_.size();
  }
  if (!ok)
    reason = std::strerror(errno);
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    reason = std::strerror(errno);
  }
  if (ok && std::rename(part.c_str(), path.c_str()) != 0) {
    ok = false;
    reason = std::strerror(errno);
  }
  if (!ok)
    std::remove(part.c_str());
  return ok;
}

void BlackBox::pruneOldFiles() {
  std::error_code ec;
  std::vector<fs::path> files;
  for (fs::directory_iterator it(settings_.directory, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(kFilePrefix, 0) == 0 && name.size() > 4 &&
        name.compare(name.size() - 4, 4, ".csv") == 0)
      files.push_back(it->path());
  }
  // The names begin with the time: their order is the files' age.
  std::sort(files.begin(), files.end());
  const std::size_t keep = std::max<std::size_t>(settings_.max_files, 1);
  for (std::size_t i = 0; i + keep < files.size(); ++i)
    fs::remove(files[i], ec);
}

void BlackBox::writeLine(const std::string& text) {
  hx4_program_api_internals::Console::write(text + "\n");
}

}  // namespace vorel_device
