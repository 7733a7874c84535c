#include "apps/vorel-monitor/live_view.h"

#include <curses.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <thread>

#include "apps/vorel-monitor/snapshot_json.h"

namespace vorel_monitor {

namespace {

const char* const kAxisNames[] = {"fx", "fy", "fz", "tx", "ty", "tz"};
constexpr double kPi = 3.141592653589793;

std::string format(const char* fmt, double value) {
  char text[64];
  std::snprintf(text, sizeof text, fmt, value);
  return text;
}

std::string format(const char* fmt, unsigned value) {
  char text[64];
  std::snprintf(text, sizeof text, fmt, value);
  return text;
}

// A label padded to 22 columns, then six values of 9 characters.
std::string row(const std::string& label, const double* values) {
  std::string line = label;
  line.resize(22, ' ');
  for (int i = 0; i < 6; ++i)
    line += format(" %8.3f", values[i]);
  return line;
}

std::string join(const std::vector<std::string>& names, const char* none) {
  if (names.empty())
    return none;
  std::string text;
  for (const auto& n : names)
    text += (text.empty() ? "" : ", ") + n;
  return text;
}

}  // namespace

bool parseAxes(const std::string& text, std::vector<int>& axes) {
  axes.clear();
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    const auto* found = std::find(std::begin(kAxisNames), std::end(kAxisNames), item);
    if (found == std::end(kAxisNames))
      return false;
    axes.push_back(static_cast<int>(found - std::begin(kAxisNames)));
  }
  return !axes.empty();
}

std::string sparkline(const std::vector<double>& values, int width, bool unicode) {
  static const char* const kBlocks[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
  static const char kAscii[] = "_.-:=+*#";
  std::vector<double> means(static_cast<std::size_t>(width),
                            std::numeric_limits<double>::quiet_NaN());
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  for (int c = 0; c < width && !values.empty(); ++c) {
    const std::size_t from = values.size() * static_cast<std::size_t>(c) / width;
    const std::size_t to =
        std::max(from + 1, values.size() * static_cast<std::size_t>(c + 1) / width);
    double sum = 0.0;
    int n = 0;
    for (std::size_t i = from; i < to && i < values.size(); ++i) {
      if (std::isfinite(values[i])) {
        sum += values[i];
        ++n;
      }
    }
    if (n > 0) {
      means[c] = sum / n;
      low = std::min(low, means[c]);
      high = std::max(high, means[c]);
    }
  }
  std::string line;
  for (double m : means) {
    if (!std::isfinite(m)) {
      line += ' ';
      continue;
    }
    const int level =
        high > low ? std::min(7, static_cast<int>((m - low) / (high - low) * 8.0)) : 3;
    line += unicode ? std::string(kBlocks[level]) : std::string(1, kAscii[level]);
  }
  return line;
}

std::vector<std::string> frameLines(const RecorderReader& ring, const RingStatus& status,
                                    const ViewOptions& options) {
  std::vector<std::string> lines;
  const ForceControlRecord& r = status.newest;
  lines.push_back(
      "vorel-monitor  " + ring.name() + " (host pid " + std::to_string(ring.writerPid()) + ")" +
      (status.has_record
           ? "  cycle " + std::to_string(r.cycle) + "  t = " + format("%.3f s", r.controller_time)
           : std::string()));
  lines.push_back(status.advancing ? "recorder: advancing"
                                   : "recorder: STOPPED: " + stalledMessage(status));
  if (!status.has_record)
    return lines;
  lines.push_back(
      std::string("force control: ") + forceControlStateName(r.force_control_state) +
      ((r.flags & ForceControlRecord::kOffsetSent) ? ", offset sent" : "") +
      "   supervisor: " + supervisorStateName(r.supervisor_state) + "   sample age: " +
      (r.sample_age < 0.0 ? std::string("none yet") : format("%.0f ms", r.sample_age * 1000.0)));
  // Events last one cycle: the newest of the traced span is shown.
  std::uint64_t lost = 0;
  const std::size_t span = static_cast<std::size_t>(options.span_s / 0.002);
  const auto records = lastRecords(ring, span, lost);
  const auto event = std::find_if(records.rbegin(), records.rend(),
                                  [](const ForceControlRecord& rec) { return rec.events != 0; });
  lines.push_back("limits binding: " + join(limitNames(r.limits_bound), "none") +
                  "   last event: " +
                  (event == records.rend() ? format("none in %g s", options.span_s)
                                           : join(eventNames(event->events), "") +
                                                 format(" at t = %.3f s", event->controller_time)));
  lines.push_back("health: " + format("%.0f usable samples/s", r.usable_samples_per_second) +
                  "   CRC errors " + std::to_string(r.crc_errors) + "   lost sync " +
                  std::to_string(r.lost_sync_events) + "   status " +
                  format("0x%02X", r.last_status) + "   frames " +
                  std::to_string(r.frames_published));
  lines.push_back("");
  lines.push_back("stage                       fx N     fy N     fz N   tx N m   ty N m   tz N m");
  lines.push_back(row("raw (sensor axes)", r.raw.data));
  lines.push_back(row("compensated (sensor)", r.compensated.data));
  lines.push_back(row("tool (TCP)", r.tcp_unbiased.data));
  lines.push_back(row("filtered (TCP)", r.filtered.data));
  lines.push_back(row("set-point (TCP)", r.setpoint.data));
  lines.push_back("                            x mm     y mm     z mm roll deg pitch deg yaw deg");
  double offset[6];
  for (int i = 0; i < 6; ++i)
    offset[i] = r.offset[i] * (i < 3 ? 1000.0 : 180.0 / kPi);
  lines.push_back(row("offset (TCP)", offset));
  lines.push_back("TCP position (world)  " + format("x %.3f mm", r.tcp_position[0] * 1000.0) +
                  format("   y %.3f mm", r.tcp_position[1] * 1000.0) +
                  format("   z %.3f mm", r.tcp_position[2] * 1000.0));
  lines.push_back("");

  for (int axis : options.axes) {
    // Cycles before the first record stay blank: the trace keeps its time scale.
    std::vector<double> values(span > records.size() ? span - records.size() : 0,
                               std::numeric_limits<double>::quiet_NaN());
    values.reserve(span);
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (const auto& rec : records) {
      values.push_back(rec.filtered[axis]);
      if (std::isfinite(values.back())) {
        low = std::min(low, values.back());
        high = std::max(high, values.back());
      }
    }
    lines.push_back(std::string("filtered ") + kAxisNames[axis] + ", last " +
                    format("%g s", options.span_s) +
                    (low <= high ? ": " + format("%.3f", low) + " to " + format("%.3f", high) +
                                       (axis < 3 ? " N" : " N m")
                                 : std::string()));
    lines.push_back("  " + sparkline(values, options.width - 4, options.unicode));
  }
  return lines;
}

int runLiveView(std::unique_ptr<RecorderReader>& ring, const ViewOptions& options,
                const volatile std::sig_atomic_t& stop) {
  const auto period = std::chrono::microseconds(static_cast<long>(1e6 / options.rate_hz));
  const bool terminal = ::isatty(STDOUT_FILENO) != 0;
  if (terminal && !options.plain) {
    initscr();
    cbreak();
    noecho();
    curs_set(0);
    timeout(static_cast<int>(1000.0 / options.rate_hz));
    while (!stop) {
      RingStatus status = statusOf(*ring);
      if (status.replaced && followReplacement(ring))
        status = statusOf(*ring);
      ViewOptions sized = options;
      sized.width = std::max(20, COLS);
      const auto lines = frameLines(*ring, status, sized);
      erase();
      for (std::size_t i = 0; i < lines.size() && static_cast<int>(i) < LINES; ++i)
        mvaddnstr(static_cast<int>(i), 0, lines[i].c_str(), -1);
      refresh();
      if (getch() == 'q')
        break;
    }
    endwin();
    return 0;
  }
  auto next = std::chrono::steady_clock::now();
  while (!stop) {
    RingStatus status = statusOf(*ring);
    if (status.replaced && followReplacement(ring))
      status = statusOf(*ring);
    std::string frame = terminal ? "\x1b[H\x1b[2J" : "";
    for (const auto& line : frameLines(*ring, status, options))
      frame += line + "\n";
    if (!terminal)
      frame += "\n";
    std::fputs(frame.c_str(), stdout);
    std::fflush(stdout);
    next += period;
    std::this_thread::sleep_until(next);
  }
  return 0;
}

}  // namespace vorel_monitor
