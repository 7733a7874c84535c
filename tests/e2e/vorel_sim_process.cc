#include "tests/e2e/vorel_sim_process.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vorel_e2e {

TempDir::TempDir() {
  char tmpl[] = "/tmp/vorel-e2e-XXXXXX";
  path_ = ::mkdtemp(tmpl) ? tmpl : "/tmp/vorel-e2e-none";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& text) const {
  std::ofstream(file(name)) << text;
}

vorel_test::PeerRun runVorelSim(const std::vector<std::string>& args, const TempDir& dir) {
  std::vector<std::string> argv = {VOREL_SIM};
  argv.insert(argv.end(), args.begin(), args.end());
  return vorel_test::runPeer(argv, dir.path());
}

// The cells of a table line: the texts between runs of two or more spaces.
std::vector<std::string> cellsOf(const std::string& line) {
  std::vector<std::string> cells;
  std::size_t start = line.find_first_not_of(' ');
  while (start != std::string::npos) {
    std::size_t end = line.find("  ", start);
    cells.push_back(line.substr(start, end == std::string::npos ? end : end - start));
    start = end == std::string::npos ? end : line.find_first_not_of(' ', end);
  }
  return cells;
}

SummaryRow summaryRow(const std::string& out, const std::string& quantity) {
  SummaryRow row;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("  " + quantity + "  ", 0) != 0)
      continue;
    const std::vector<std::string> cells = cellsOf(line);
    if (cells.size() >= 3 && cells[0] == quantity)
      row = {true, cells[1], cells.back(), std::strtod(cells[1].c_str(), nullptr)};
  }
  return row;
}

}  // namespace vorel_e2e
