#include "sim/scenario/summary.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace vorel_sim {

std::string fmt(const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

void Summary::info(const std::string& quantity, const std::string& value) {
  rows_.push_back({quantity, value, "", Check::Info});
}

void Summary::check(const std::string& quantity, const std::string& value,
                    const std::string& expected, bool holds) {
  rows_.push_back({quantity, value, expected, holds ? Check::Ok : Check::Fail});
}

void Summary::goal(const std::string& quantity, const std::string& value, const std::string& goal,
                   bool met) {
  rows_.push_back({quantity, value, goal, met ? Check::GoalMet : Check::GoalMissed});
}

bool Summary::passed() const {
  return std::none_of(rows_.begin(), rows_.end(),
                      [](const Row& r) { return r.check == Check::Fail; });
}

std::string Summary::format() const {
  std::size_t wq = std::string("quantity").size();
  std::size_t wv = std::string("value").size();
  std::size_t we = std::string("expected").size();
  for (const auto& r : rows_) {
    wq = std::max(wq, r.quantity.size());
    wv = std::max(wv, r.value.size());
    we = std::max(we, r.expected.size());
  }
  auto pad = [](const std::string& s, std::size_t w) { return s + std::string(w - s.size(), ' '); };
  std::string out = title_ + "\n";
  out += "  " + pad("quantity", wq) + "  " + pad("value", wv) + "  " + pad("expected", we) +
         "  check\n";
  int criteria = 0;
  int failed = 0;
  for (const auto& r : rows_) {
    std::string check = "-";
    if (r.check == Check::Ok)
      check = "ok";
    if (r.check == Check::Fail)
      check = "FAIL";
    if (r.check == Check::GoalMet)
      check = "met";
    if (r.check == Check::GoalMissed)
      check = "missed";
    if (r.check == Check::Ok || r.check == Check::Fail)
      ++criteria;
    if (r.check == Check::Fail)
      ++failed;
    std::string line = "  " + pad(r.quantity, wq) + "  " + pad(r.value, wv) + "  " +
                       pad(r.expected, we) + "  " + check;
    out += line + "\n";
  }
  if (failed == 0) {
    out += "result: PASS\n";
  } else {
    out += fmt("result: FAIL (%d of %d criteria failed)\n", failed, criteria);
  }
  return out;
}

namespace stats {

double mean(const std::vector<double>& values) {
  if (values.empty())
    return 0.0;
  double sum = 0.0;
  for (double v : values)
    sum += v;
  return sum / static_cast<double>(values.size());
}

double stddev(const std::vector<double>& values) {
  if (values.size() < 2)
    return 0.0;
  const double m = mean(values);
  double sum = 0.0;
  for (double v : values)
    sum += (v - m) * (v - m);
  return std::sqrt(sum / static_cast<double>(values.size()));
}

double rms(const std::vector<double>& values) {
  if (values.empty())
    return 0.0;
  double sum = 0.0;
  for (double v : values)
    sum += v * v;
  return std::sqrt(sum / static_cast<double>(values.size()));
}

std::optional<double> settlingTime(const std::vector<double>& times,
                                   const std::vector<double>& values, double target, double band) {
  const std::size_t n = std::min(times.size(), values.size());
  if (n == 0)
    return std::nullopt;
  std::size_t k = n;
  while (k > 0 && std::fabs(values[k - 1] - target) <= band)
    --k;
  if (k == n)
    return std::nullopt;
  return times[k];
}

}  // namespace stats

}  // namespace vorel_sim
