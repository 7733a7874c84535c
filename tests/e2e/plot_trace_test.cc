// scripts/plot-trace.py turns a trace of vorel-sim into a PNG with Debian's
// matplotlib.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/e2e/vorel_sim_process.h"

namespace {

using vorel_test::runPeer;

TEST(PlotTrace, Script_HoldTraceThenMissingFile_PngThenError) {
  if (runPeer({"/usr/bin/python3", "-c", "import matplotlib"}, "/").exit.status != 0)
    GTEST_SKIP() << "python3-matplotlib is not installed (scripts/deps.sh installs it)";
  vorel_e2e::TempDir dir;
  // One second of the hold scenario: the force rises, the offsets start as NaN.
  vorel_e2e::runVorelSim({"--scenario", "hold", "--duration", "1", "--trace", "t.csv"}, dir);
  ASSERT_TRUE(std::ifstream(dir.file("t.csv")).good());
  const std::string script = VOREL_SOURCE_DIR "/scripts/plot-trace.py";
  auto r = runPeer({"/usr/bin/python3", script, dir.file("t.csv"), dir.file("t.png")}, dir.path());
  ASSERT_EQ(r.exit.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("t.png"), std::string::npos) << r.out;
  std::ifstream png(dir.file("t.png"), std::ios::binary);
  char signature[8] = {};
  png.read(signature, 8);
  EXPECT_EQ(std::string(signature, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  png.seekg(0, std::ios::end);
  EXPECT_GT(png.tellg(), 10000);

  r = runPeer({"/usr/bin/python3", script, dir.file("none.csv")}, dir.path());
  EXPECT_TRUE(r.exit.exited && r.exit.status != 0);
  EXPECT_NE(r.err.find("none.csv"), std::string::npos) << r.err;
}

}  // namespace
