#include "sim/scenario/fault_spec.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <utility>

namespace vorel_sim {

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

// A status word: decimal or 0x-prefixed hexadecimal, 1 to 0xFFFF.
std::optional<unsigned> statusBits(const std::string& text) {
  if (text.empty() || text[0] == '-' || text[0] == '+')
    return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (end != text.c_str() + text.size() || errno == ERANGE || value == 0 || value > 0xFFFF)
    return std::nullopt;
  return static_cast<unsigned>(value);
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
  if (kind == "status") {
    const auto colon = value.find(':');
    if (colon == std::string::npos)
      return fail("expected status:BITS:P, such as status:0x04:0.5");
    const auto bits = statusBits(value.substr(0, colon));
    if (!bits)
      return fail("expected status bits (1 to 0xFFFF, e.g. 0x04) after 'status:', found '" +
                  value.substr(0, colon) + "'");
    const auto p = number(value.substr(colon + 1));
    if (!p || !(*p > 0.0 && *p <= 1.0))
      return fail("expected a probability above 0 and at most 1 after 'status:BITS:', found '" +
                  value.substr(colon + 1) + "'");
    result.steps.push_back({from, Kind::StatusFrames, *p, *bits});
    if (to)
      result.steps.push_back({*to, Kind::StatusFrames, 0.0, *bits});
    return result;
  }
  // The one-off faults: no value, no end.
  const std::pair<const char*, Kind> one_off[] = {{"hangup", Kind::HangUp},
                                                  {"nan", Kind::NanFrame},
                                                  {"mutex-holder", Kind::MutexHolder},
                                                  {"signals", Kind::Signals},
                                                  {"activator-kill", Kind::ActivatorKill}};
  for (const auto& [name, k] : one_off) {
    if (kind != name)
      continue;
    if (has_value)
      return fail(kind + " takes no value");
    if (to)
      return fail(kind == "hangup" ? std::string("a hang-up cannot end: give no end time")
                                   : kind + " has no end time");
    // A signal storm lasts 1 s.
    result.steps.push_back({from, k, k == Kind::Signals ? 1.0 : 0.0});
    return result;
  }
  return fail("unknown fault '" + kind +
              "': expected crc:P, bytes:P, garbage:D, status:BITS:P, nan, hangup, mutex-holder, "
              "signals or activator-kill");
}

}  // namespace vorel_sim
