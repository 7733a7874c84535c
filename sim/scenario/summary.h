// Summary: the table a run ends with. Each row is a quantity, its value, what
// was expected and whether that holds; the run passes when no row fails.
//
//   hold summary
//     quantity                     value          expected          check
//     settling time                0.842 s        settles           ok
//     ...
//   result: PASS
//
// Also the statistics the scenarios compute from the per-cycle records.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorel_sim {

class Summary {
 public:
  // Goal rows report a performance figure against its goal: "met" or
  // "missed", never a failure of the run (a figure measured on a loaded
  // machine is a result, not an error).
  enum class Check { Info, Ok, Fail, GoalMet, GoalMissed };
  struct Row {
    std::string quantity;
    std::string value;
    std::string expected;
    Check check = Check::Info;
  };

  explicit Summary(std::string title) : title_(std::move(title)) {}

  void info(const std::string& quantity, const std::string& value);
  // A criterion: ok when `holds`.
  void check(const std::string& quantity, const std::string& value, const std::string& expected,
             bool holds);
  // A figure and its goal: "met" when `met`, else "missed".
  void goal(const std::string& quantity, const std::string& value, const std::string& goal,
            bool met);

  bool passed() const;
  const std::vector<Row>& rows() const { return rows_; }
  const std::string& title() const { return title_; }
  // The aligned table, ending with "result: PASS" or "result: FAIL (n of m
  // criteria failed)"; lines end with '\n'.
  std::string format() const;

 private:
  std::string title_;
  std::vector<Row> rows_;
};

// printf-style formatting into a string.
std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace stats {

double mean(const std::vector<double>& values);
// Population standard deviation; 0 for fewer than 2 values.
double stddev(const std::vector<double>& values);
// Root mean square.
double rms(const std::vector<double>& values);

// Settling: the earliest time t in `times` (ascending, parallel to `values`)
// from which on every value lies within `band` of `target`. Empty when the
// last value is outside the band or there are no values.
std::optional<double> settlingTime(const std::vector<double>& times,
                                   const std::vector<double>& values, double target, double band);

}  // namespace stats

}  // namespace vorel_sim
