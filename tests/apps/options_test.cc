// Command-line options of vorel-sim.
#include <gtest/gtest.h>

#include "apps/vorel-sim/options.h"

namespace {

using vorel_sim_app::Options;
using vorel_sim_app::parseOptions;

Options ok(const std::vector<std::string>& args) {
  const auto r = parseOptions(args);
  EXPECT_TRUE(r.options) << r.error;
  return r.options ? *r.options : Options();
}

std::string error(const std::vector<std::string>& args) {
  const auto r = parseOptions(args);
  EXPECT_FALSE(r.options);
  return r.error;
}

TEST(ParseOptions_NoArguments_RunsTheContactScenario, InOneProcess) {
  const Options o = ok({});
  EXPECT_EQ(o.scenario, "contact");
  EXPECT_FALSE(o.program_file);
  EXPECT_FALSE(o.port);
  EXPECT_FALSE(o.duration_s);
  EXPECT_FALSE(o.rate_hz);
  EXPECT_FALSE(o.trace_file);
  EXPECT_EQ(o.processes, 1);
  EXPECT_EQ(o.seed, 1ul);
  EXPECT_FALSE(o.activator_role);
}

TEST(ParseOptions_EveryOption_IsTaken, SeparateOrInlineValues) {
  const Options o = ok({"--program", "p.prog", "--config=c.xml", "--device-lib", "/x/lib.so",
                        "--port", "/dev/ttyUSB1", "--duration", "2.5", "--rate=250", "--trace",
                        "t.csv", "--processes", "2", "--seed", "7", "--priority", "0", "--load=3"});
  EXPECT_EQ(*o.program_file, "p.prog");
  EXPECT_EQ(*o.config_file, "c.xml");
  EXPECT_EQ(*o.device_lib, "/x/lib.so");
  EXPECT_EQ(*o.port, "/dev/ttyUSB1");
  EXPECT_EQ(*o.duration_s, 2.5);
  EXPECT_EQ(*o.rate_hz, 250.0);
  EXPECT_EQ(*o.trace_file, "t.csv");
  EXPECT_EQ(o.processes, 2);
  EXPECT_EQ(o.seed, 7ul);
  EXPECT_EQ(*o.priority, 0);
  EXPECT_FALSE(o.tool);
  const Options tool = ok({"--tool", "1.25:0.012,-0.004,0.065"});
  ASSERT_TRUE(tool.tool);
  EXPECT_EQ(tool.tool->mass, 1.25);
  EXPECT_EQ(tool.tool->cog[0], 0.012);
  EXPECT_EQ(tool.tool->cog[1], -0.004);
  EXPECT_EQ(tool.tool->cog[2], 0.065);
  EXPECT_EQ(o.load_processes, 3);
  for (const auto& name : vorel_sim_app::scenarioNames()) {
    EXPECT_EQ(ok({"--scenario", name}).scenario, name);
  }
  EXPECT_TRUE(ok({"--help"}).help);
  EXPECT_TRUE(ok({"--list-functions"}).list_functions);
}

TEST(ParseOptions_BadInput_IsRefusedWithAReason, NothingIsGuessed) {
  EXPECT_EQ(error({"--bogus"}), "unknown option '--bogus' (see --help)");
  EXPECT_EQ(error({"--port"}), "option --port needs a value (see --help)");
  EXPECT_EQ(error({"--scenario", "dance"}),
            "unknown scenario 'dance': expected contact, hold, filters, faults or identify");
  EXPECT_EQ(error({"--tool", "1.25:0.1,0.2"}),
            "--tool expects MASS:CX,CY,CZ (kg above 0, then m), e.g. 1.25:0.012,-0.004,0.065, "
            "found '1.25:0.1,0.2'");
  EXPECT_EQ(error({"--tool", "0:0,0,0"}),
            "--tool expects MASS:CX,CY,CZ (kg above 0, then m), e.g. 1.25:0.012,-0.004,0.065, "
            "found '0:0,0,0'");
  EXPECT_EQ(error({"--processes", "3"}), "--processes expects 1 or 2, found '3'");
  EXPECT_EQ(error({"--duration", "0"}),
            "--duration expects a number of seconds above 0, found '0'");
  EXPECT_EQ(error({"--rate", "-500"}), "--rate expects a frequency in Hz above 0, found '-500'");
  EXPECT_EQ(error({"--rate", "nan"}), "--rate expects a frequency in Hz above 0, found 'nan'");
  EXPECT_EQ(error({"--seed", "x"}), "--seed expects a whole number 0 or more, found 'x'");
  EXPECT_EQ(error({"--priority", "99"}),
            "--priority expects a whole number from 0 to 98, found '99'");
  EXPECT_EQ(error({"--load", "-1"}),
            "--load expects a number of processes from 0 to 64, found '-1'");
  EXPECT_EQ(error({"--scenario", "hold", "--program", "p.prog"}),
            "--scenario and --program exclude each other: give one");
  EXPECT_EQ(error({"--role", "activator"}), "--role activator needs --control-fd and --backend-fd");
}

}  // namespace
