#include "apps/vorel-monitor/record_log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "comm/force_control_csv.h"

namespace vorel_monitor {

namespace rec = vorel_device::recorder;

namespace {

constexpr auto kFollowPeriod = std::chrono::milliseconds(5);

// The output file, or standard output for "-".
class CsvFile {
 public:
  explicit CsvFile(const std::string& path)
      : path_(path), file_(path == "-" ? stdout : std::fopen(path.c_str(), "w")) {
    if (!file_)
      error_ = std::strerror(errno);
    else
      ok_ = std::fprintf(file_, "%s\n", rec::csvHeader().c_str()) >= 0;
  }
  ~CsvFile() { close(); }

  bool opened() const { return file_ != nullptr; }
  void write(const ForceControlRecord& record) {
    row_.clear();
    rec::appendCsvRow(row_, record);
    if (ok_ && std::fwrite(row_.data(), 1, row_.size(), file_) != row_.size()) {
      ok_ = false;
      error_ = std::strerror(errno);
    }
  }
  void flush() {
    if (ok_ && std::fflush(file_) != 0) {
      ok_ = false;
      error_ = std::strerror(errno);
    }
  }
  // False, with the reason printed, when anything failed.
  bool close() {
    if (file_ && file_ != stdout && std::fclose(file_) != 0 && ok_) {
      ok_ = false;
      error_ = std::strerror(errno);
    }
    if (file_ == stdout)
      flush();
    file_ = nullptr;
    if (!ok_ && !reported_) {
      std::fprintf(stderr, "vorel-monitor: cannot write %s: %s\n", path_.c_str(), error_.c_str());
      reported_ = true;
    }
    return ok_;
  }

 private:
  std::string path_;
  std::FILE* file_;
  bool ok_ = false;
  bool reported_ = false;
  std::string error_;
  std::string row_;
};

void warnIfStalled(const RecorderReader& ring) {
  const std::string stalled = stalledMessage(statusOf(ring));
  if (!stalled.empty())
    std::fprintf(stderr, "vorel-monitor: %s\n", stalled.c_str());
}

}  // namespace

int dumpRing(const RecorderReader& ring, const std::string& file, double seconds) {
  warnIfStalled(ring);
  const std::uint64_t count =
      seconds > 0.0 ? std::max<std::uint64_t>(1, std::llround(seconds / rec::kCycleTime))
                    : ring.capacity();
  std::uint64_t lost = 0;
  const auto records = lastRecords(ring, count, lost);
  CsvFile out(file);
  if (!out.opened()) {
    out.close();
    return 1;
  }
  for (const auto& r : records)
    out.write(r);
  if (!out.close())
    return 1;
  if (records.empty()) {
    std::fprintf(stderr, "vorel-monitor: the recorder holds no record; %s has the header only\n",
                 file.c_str());
  } else {
    std::fprintf(stderr,
                 "vorel-monitor: wrote %zu records (cycles %" PRIu64 " to %" PRIu64
                 ", t = %.3f s to %.3f s) to %s%s\n",
                 records.size(), records.front().cycle, records.back().cycle,
                 records.front().controller_time, records.back().controller_time, file.c_str(),
                 lost ? " (some were overwritten while read)" : "");
  }
  return 0;
}

int followRing(std::unique_ptr<RecorderReader>& ring, const std::string& file,
               const volatile std::sig_atomic_t& stop) {
  CsvFile out(file);
  if (!out.opened()) {
    out.close();
    return 1;
  }
  std::uint64_t cursor = ring->nextIndex();
  std::uint64_t written = 0;
  std::uint64_t lost = 0;
  std::uint64_t reported_lost = 0;
  bool stalled_said = false;
  std::fprintf(stderr, "vorel-monitor: following %s from record %" PRIu64 " into %s\n",
               ring->name().c_str(), cursor, file.c_str());
  warnIfStalled(*ring);
  auto last_advance = std::chrono::steady_clock::now();
  ForceControlRecord record;
  for (bool last_round = false; !last_round;) {
    // After a stop request one more round takes what the ring holds.
    last_round = stop != 0;
    const std::uint64_t next = ring->nextIndex();
    if (next != cursor)
      last_advance = std::chrono::steady_clock::now();
    if (cursor < ring->oldestIndex()) {
      lost += ring->oldestIndex() - cursor;
      cursor = ring->oldestIndex();
    }
    for (; cursor < next; ++cursor) {
      if (ring->read(cursor, record) == RecorderReader::Read::kOk) {
        out.write(record);
        ++written;
      } else {
        ++lost;
      }
    }
    out.flush();
    if (lost != reported_lost) {
      std::fprintf(stderr, "vorel-monitor: fell behind the recorder: %" PRIu64 " records lost\n",
                   lost);
      reported_lost = lost;
    }
    const bool stalled = std::chrono::steady_clock::now() - last_advance >
                         std::chrono::nanoseconds(rec::kLivenessTimeoutNs);
    if (stalled && !stalled_said) {
      warnIfStalled(*ring);
      stalled_said = true;
    } else if (!stalled && stalled_said) {
      std::fprintf(stderr, "vorel-monitor: the force-control recorder advances again\n");
      stalled_said = false;
    }
    if (stalled && followReplacement(ring)) {
      cursor = 0;
      stalled_said = false;
    }
    if (!last_round)
      std::this_thread::sleep_for(kFollowPeriod);
  }
  const bool ok = out.close();
  std::fprintf(stderr, "vorel-monitor: %" PRIu64 " records written to %s, %" PRIu64 " lost\n",
               written, file.c_str(), lost);
  return ok ? 0 : 1;
}

}  // namespace vorel_monitor
