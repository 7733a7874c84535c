// Runs the built vorel-sim as a child process, as a user or CI would, and
// reads its summary table.
#pragma once

#include <string>
#include <vector>

namespace vorel_e2e {

struct ProcessResult {
  int exit_status = -1;  // -1: killed by a signal or by the hang guard
  std::string out;       // standard output
  std::string err;       // standard error
};

// Runs vorel-sim with `args` in directory `cwd`, collecting both outputs.
// A hang guard of 120 s kills it (the test then fails on the status).
ProcessResult runVorelSim(const std::vector<std::string>& args, const std::string& cwd);
// Runs any program the same way.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd);

// One row of the summary table: "  <quantity>  <value>  <expected>  <check>".
struct SummaryRow {
  bool found = false;
  std::string value;
  std::string check;  // "ok", "FAIL" or "-"
};
SummaryRow summaryRow(const std::string& out, const std::string& quantity);
// The first number in `text` ("-1.12 mm" -> -1.12); NaN when there is none.
double firstNumber(const std::string& text);

// A fresh empty directory under /tmp, removed with its files by the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

bool fileExists(const std::string& path);
std::vector<std::string> readLines(const std::string& path);

}  // namespace vorel_e2e
