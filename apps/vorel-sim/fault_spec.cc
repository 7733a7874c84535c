#include "apps/vorel-sim/fault_spec.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>

namespace vorel_sim_app {

namespace {

using Kind = FaultStep::Kind;

std::optional<double> number(const std::string& text) {
  if (text.empty())
    return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value))
    return std::nullopt;
  return value;
}

// Seconds from "2", "2s", "2.5s" or "500ms"; with `unit_needed`, a bare
// number is refused. Negative values are refused.
std::optional<double> seconds(const std::string& text, bool unit_needed) {
  std::optional<double> value;
  if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
    value = number(text.substr(0, text.size() - 2));
    if (value)
      *value /= 1000.0;
  } else if (text.size() > 1 && text.back() == 's') {
    value = number(text.substr(0, text.size() - 1));
  } else if (!unit_needed) {
    value = number(text);
  }
  if (!value || *value < 0.0)
    return std::nullopt;
  return value;
}

}  // namespace

FaultSpecResult parseFaultSpec(const std::string& text) {
  FaultSpecResult result;
  auto fail = [&](const std::string& why) {
    result.steps.clear();
    result.error = "--fault '" + text + "': " + why;
    return result;
  };
  std::string head = text;
  std::string when;
  if (const auto at = text.find('@'); at != std::string::npos) {
    head = text.substr(0, at);
    when = text.substr(at + 1);
    if (when.empty())
      return fail("a time is expected after '@'");
  }
  std::string kind = head;
  std::string value;
  bool has_value = false;
  if (const auto colon = head.find(':'); colon != std::string::npos) {
    kind = head.substr(0, colon);
    value = head.substr(colon + 1);
    has_value = true;
  }

  double from = 0.0;
  std::optional<double> to;
  if (!when.empty()) {
    std::string first = when;
    // A '-' after the first character separates the end time.
    if (const auto dash = when.find('-', 1); dash != std::string::npos) {
      first = when.substr(0, dash);
      to = seconds(when.substr(dash + 1), false);
      if (!to)
        return fail("expected an end time after '-', such as 3 or 3s, found '" +
                    when.substr(dash + 1) + "'");
    }
    const auto start = seconds(first, false);
    if (!start)
      return fail("expected a start time such as 2, 2s or 500ms after '@', found '" + first + "'");
    from = *start;
    if (to && *to <= from)
      return fail("the end time must lie after the start time");
  }

  if (kind == "crc" || kind == "bytes") {
    const auto p = has_value ? number(value) : std::nullopt;
    if (!p || !(*p > 0.0 && *p <= 1.0))
      return fail("expected a probability above 0 and at most 1 after '" + kind + ":', found '" +
                  value + "'");
    const std::vector<Kind> kinds = kind == "crc"
                                        ? std::vector<Kind>{Kind::CrcProbability}
                                        : std::vector<Kind>{Kind::DropBytes, Kind::InsertBytes};
    for (const Kind k : kinds)
      result.steps.push_back({from, k, *p});
    if (to) {
      for (const Kind k : kinds)
        result.steps.push_back({*to, k, 0.0});
    }
    return result;
  }
  if (kind == "garbage") {
    const auto d = has_value ? seconds(value, true) : std::nullopt;
    if (!d || *d <= 0.0)
      return fail(
          "expected a duration with its unit after 'garbage:', such as 1s or 250ms, "
          "found '" +
          value + "'");
    if (to)
      return fail("a garbage burst has its own duration: give no end time");
    result.steps.push_back({from, Kind::GarbageBurst, *d * 1000.0});
    return result;
  }
  if (kind == "hangup") {
    if (has_value)
      return fail("hangup takes no value");
    if (to)
      return fail("a hang-up cannot end: give no end time");
    result.steps.push_back({from, Kind::HangUp, 0.0});
    return result;
  }
  return fail("unknown fault '" + kind + "': expected crc:P, bytes:P, garbage:D or hangup");
}

}  // namespace vorel_sim_app
