// The summary table and the statistics behind the scenarios' criteria.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/scenario/summary.h"

namespace {

using vorel_sim_app::Summary;
namespace stats = vorel_sim_app::stats;

TEST(Stats_KnownSample_GivesHandComputedValues, MeanStddevRms) {
  // 2 4 4 4 5 5 7 9: mean 5, squared deviations sum to 32 -> variance 4.
  const std::vector<double> v = {2, 4, 4, 4, 5, 5, 7, 9};
  EXPECT_DOUBLE_EQ(stats::mean(v), 5.0);
  EXPECT_DOUBLE_EQ(stats::stddev(v), 2.0);
  // Squares sum to 232: rms = sqrt(29).
  EXPECT_DOUBLE_EQ(stats::rms(v), std::sqrt(29.0));
  EXPECT_EQ(stats::mean({}), 0.0);
  EXPECT_EQ(stats::stddev({3.0}), 0.0);
}

TEST(Stats_SettlingTime_IsTheStartOfTheLastRunInsideTheBand, OrNoneWhenItEndsOutside) {
  const std::vector<double> t = {0, 1, 2, 3, 4};
  EXPECT_EQ(stats::settlingTime(t, {0, 12, 9.6, 10.3, 10.1}, 10.0, 0.5), 2.0);
  EXPECT_EQ(stats::settlingTime(t, {10, 10, 10, 10, 10}, 10.0, 0.5), 0.0);
  EXPECT_FALSE(stats::settlingTime(t, {10, 10, 10, 10, 11}, 10.0, 0.5));
  EXPECT_EQ(stats::settlingTime(t, {10, NAN, 10, 10, 10}, 10.0, 0.5), 2.0);
  EXPECT_FALSE(stats::settlingTime({}, {}, 10.0, 0.5));
}

TEST(Summary_Format_AlignsColumnsAndCountsFailures, ExactLines) {
  Summary s("hold summary");
  s.check("settling time", "0.634 s", "settles", true);
  s.info("frames", "12");
  s.check("mean", "-9.1 N", "-10 N +- 0.5 N", false);
  EXPECT_FALSE(s.passed());
  EXPECT_EQ(s.format(),
            "hold summary\n"
            "  quantity       value    expected        check\n"
            "  settling time  0.634 s  settles         ok\n"
            "  frames         12                       -\n"
            "  mean           -9.1 N   -10 N +- 0.5 N  FAIL\n"
            "result: FAIL (1 of 2 criteria failed)\n");
}

TEST(Summary_NoFailedCriterion_Passes, InfoRowsDoNotCount) {
  Summary s("contact summary");
  s.info("frames", "3");
  s.check("contact found", "yes", "yes", true);
  EXPECT_TRUE(s.passed());
  const std::string text = s.format();
  EXPECT_EQ(text.substr(text.rfind("result")), "result: PASS\n");
}

}  // namespace
