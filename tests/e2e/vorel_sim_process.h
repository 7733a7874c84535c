// Runs the built vorel-sim as a child process, as a user or CI would, in a
// fresh directory, and reads the rows of its summary table.
#pragma once

#include <string>
#include <vector>

#include "tests/support/peer_process.h"

namespace vorel_e2e {

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

// vorel-sim with `args`, run to its end in `dir` (hang guard 120 s); its
// exit status is -1 when it ended by a signal.
vorel_test::PeerRun runVorelSim(const std::vector<std::string>& args, const TempDir& dir);

// One row of the summary table: "  <quantity>  <value>  <expected>  <check>",
// cells separated by two or more blanks.
struct SummaryRow {
  bool found = false;
  std::string value;
  std::string check;    // "ok", "FAIL" or "-"
  double number = 0.0;  // the number the value starts with ("-1.12 mm": -1.12)
};
SummaryRow summaryRow(const std::string& out, const std::string& quantity);

}  // namespace vorel_e2e
