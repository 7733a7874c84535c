// scripts/plot-trace.py turns a trace into a PNG with Debian's matplotlib.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "tests/e2e/vorel_sim_process.h"

namespace {

using vorel_e2e::runProcess;
using vorel_e2e::TempDir;

TEST(PlotTrace_SyntheticTrace_WritesAPng, WithTheForceAndPositionPanels) {
  if (runProcess({"/usr/bin/python3", "-c", "import matplotlib"}, "/").exit_status != 0) {
    GTEST_SKIP() << "python3-matplotlib is not installed (scripts/deps.sh installs it)";
  }
  TempDir dir;
  std::ostringstream csv;
  csv << "time_s";
  for (const char* stage : {"raw", "tool", "filt"}) {
    for (const char* axis : {"fx", "fy", "fz", "tx", "ty", "tz"})
      csv << "," << stage << "_" << axis;
  }
  csv << ",offset_x,offset_y,offset_z,offset_roll,offset_pitch,offset_yaw,tcp_x,tcp_y,tcp_z\n";
  for (int i = 1; i <= 500; ++i) {
    const double t = 0.002 * i;
    const double fz = -10.0 * (1.0 - std::exp(-t / 0.2));
    csv << t;
    for (int k = 0; k < 3; ++k)
      csv << ",0,0," << fz << ",0,0,0";
    csv << (i < 5 ? ",nan,nan,nan,nan,nan,nan" : ",0,0,0.001,0,0,0") << ",0.4,0," << 0.05 - 0.01 * t
        << "\n";
  }
  dir.write("trace.csv", csv.str());
  const auto r = runProcess({"/usr/bin/python3", VOREL_SOURCE_DIR "/scripts/plot-trace.py",
                             dir.file("trace.csv"), dir.file("trace.png")},
                            dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  std::ifstream png(dir.file("trace.png"), std::ios::binary);
  char signature[8] = {};
  png.read(signature, 8);
  EXPECT_EQ(std::string(signature, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  png.seekg(0, std::ios::end);
  EXPECT_GT(png.tellg(), 10000);
  EXPECT_NE(r.out.find("trace.png"), std::string::npos) << r.out;
}

TEST(PlotTrace_MissingFile_FailsWithAMessage, NonZeroStatus) {
  if (runProcess({"/usr/bin/python3", "-c", "import matplotlib"}, "/").exit_status != 0) {
    GTEST_SKIP() << "python3-matplotlib is not installed";
  }
  TempDir dir;
  const auto r = runProcess(
      {"/usr/bin/python3", VOREL_SOURCE_DIR "/scripts/plot-trace.py", dir.file("none.csv")},
      dir.path());
  EXPECT_NE(r.exit_status, 0);
  EXPECT_NE(r.err.find("none.csv"), std::string::npos) << r.err;
}

}  // namespace
