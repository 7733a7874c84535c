// Nothing on the two real-time cycles writes to a console or allocates:
// printf, puts, fputs, fwrite, fflush and every global operator new are
// replaced in this program, and a call made while the calling thread is
// marked "in cycle" is counted; so is a Console::write made there (the
// console's sink sees it on the calling thread). The force-control cycle and
// the reader's cycle run here on the test thread, through a new sample, a
// stale spell and its recovery, flagged and non-finite samples, a limit that
// binds, the end of force control with its return, failed cycles held, and
// filter changes (each type added, a replacement, refusals, removals).
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <limits>

#include "adaptive/force_control_thread.h"
#include "bench/cycle/immediate_controller.h"
#include "comm/command_facade.h"
#include "comm/sensor_reader.h"
#include "comm/shared_segment.h"
#include "host/console.h"
#include "tests/adaptive/cycle_mark.h"
#include "tests/comm/frame_builder.h"
#include "tests/comm/testable_comm.h"

namespace vorel_device {
namespace {

namespace ss = shared_segment;

class CyclePathTest : public testing::Test {
 protected:
  CyclePathTest()
      : previous_(hx4_program_api_internals::ControllerBackend::current()),
        controller_(boost::make_shared<vorel_bench::ImmediateController>()) {
    hx4_program_api_internals::ControllerBackend::install(controller_);
    hx4_program_api_internals::Console::setSink(
        [](const std::string&) { vorel_test::noteCall("Console::write"); });
  }
  ~CyclePathTest() override {
    hx4_program_api_internals::Console::setSink(nullptr);
    hx4_program_api_internals::ControllerBackend::install(previous_);
  }
  // Publishes a frame as the reader does (the publication count moves).
  void publish(float fz, std::uint16_t status = 0) {
    ss::Lock lock(*mutex_);
    objects_.frame->header = RxFrame::kHeader;
    objects_.frame->status = status;
    objects_.frame->ft_data[2] = fz;
    ++objects_.sensor_health->frames_published;
  }
  void cycles(AdaptiveThread& thread, int n) {
    for (int k = 0; k < n; ++k) {
      vorel_test::InCycle mark;
      thread.cycleMethod();
    }
  }

  vorel_test::TestableComm reader_{5};
  boost::shared_ptr<hx4_program_api_internals::ControllerBackend> previous_;
  boost::shared_ptr<vorel_bench::ImmediateController> controller_;
  ss::Segment segment_ = ss::openSegment();
  boost::shared_ptr<ss::Mutex> mutex_ = ss::openMutex();
  ss::Objects objects_ = ss::findObjects(segment_);
  const int before_ = vorel_test::violations();  // counted by an earlier test
};

TEST_F(CyclePathTest, ForceControlCycle_EveryPath_NoConsoleCallNoAllocation) {
  VorelForceTorqueSensorSecondaryInstance facade(10);
  facade.setSensorFrame(hx4_program_api::RobotPose(hx4_program_api::Position(0.0, 0.0, 0.0),
                                                   hx4_program_api::Rotation::RPY(0, 0, 0)));
  facade.setEnabledAxes(true, true, true, true, true, true);
  facade.setForceControlSpeedLimits(0.001, 0.01);  // binds at once
  facade.setEnabledSystemFilters(true);
  facade.activate(true, true);
  auto program = boost::make_shared<hx4_program_api::ProgramInterface>(controller_);
  AdaptiveThread thread(program, 0, 500.0);
  publish(20.0f);
  cycles(thread, 3);   // new samples, the limit binds
  cycles(thread, 30);  // stale, the trip line
  publish(20.0f);      // the recovery line
  cycles(thread, 1);
  publish(100.0f, 0x0004);  // flagged
  cycles(thread, 1);
  publish(std::numeric_limits<float>::quiet_NaN());  // not finite
  cycles(thread, 1);
  double nan_target[3] = {std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0};
  facade.setForceTrackValue(nan_target);
  publish(20.0f);
  cycles(thread, 2);  // a non-finite rate: held, its line
  {
    ss::Lock held(*mutex_);  // failed cycles: the offset held, the lines
    cycles(thread, 2);
  }
  cycles(thread, 1);  // recovered
  facade.activate(false, false);
  for (int k = 0; k < 500 && thread.wasActive(); ++k)
    cycles(thread, 1);  // the return to zero
  EXPECT_FALSE(thread.wasActive());
  thread.flushLines();
  EXPECT_EQ(vorel_test::violations(), before_) << vorel_test::firstViolation();
}

TEST_F(CyclePathTest,
       ForceControlCycle_FilterChanges_NoConsoleCallNoAllocationRefusalsWrittenAfter) {
  VorelForceTorqueSensorSecondaryInstance facade(10);
  auto program = boost::make_shared<hx4_program_api::ProgramInterface>(controller_);
  AdaptiveThread thread(program, 0, 500.0);
  publish(20.0f);
  struct Request {
    const char* name;
    int type;
    double reject, cutoff;  // Hz
    int request;
  };
  const int add = VorelForceTorqueSensorSecondaryInstance::kAddFilter;
  const int remove = VorelForceTorqueSensorSecondaryInstance::kRemoveFilter;
  const Request requests[] = {{"lp", kLowPassFilter, -1.0, 20.0, add},
                              {"notch", kNotchFilter, 50.0, -1.0, add},
                              {"rl", kRateLimiter, -1.0, -1.0, add},
                              {"hp", kHighPassRateLimiter, -1.0, 30.0, add},
                              {"lp", kRateLimiter, -1.0, -1.0, add},
                              {"odd", 9, -1.0, -1.0, add},
                              {"wide", kLowPassFilter, -1.0, 300.0, add},
                              {"gone", 0, -1.0, -1.0, remove},
                              {"notch", 0, -1.0, -1.0, remove},
                              {"dc", kNotchFilter, 0.0, -1.0, add},
                              {"all", 0, -1.0, -1.0, remove}};
  testing::internal::CaptureStdout();
  for (const Request& r : requests) {
    FilterOptions o{{}, r.type, r.reject, 10.0, r.cutoff, 50.0, -50.0};
    o.setName(r.name);
    ASSERT_TRUE(facade.addOrRemoveFilter(o, r.request)) << r.name;
    cycles(thread, 1);  // takes the request
  }
  thread.flushLines();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Unknown filter type 9: request ignored\n"
            "Filter frequency out of range for filter type 1: request ignored\n"
            "No filter such filter found, doing nothing\n"
            "Notch filter: reject frequency 0.00 Hz at sampling rate 500.00 Hz is a notch at 0 "
            "Hz, passing the signal unchanged\n");
  EXPECT_TRUE(thread.getFilterChain().empty());
  EXPECT_EQ(vorel_test::violations(), before_) << vorel_test::firstViolation();
}

TEST_F(CyclePathTest, ReaderCycle_GoodBadAndFlaggedFrames_NoConsoleCallNoAllocation) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  reader_.setPort(fds[0]);
  reader_.allowDrain();
  auto send = [&](RxFrame frame, bool corrupt) {
    if (corrupt)
      frame.crc ^= 0x5555;
    ASSERT_EQ(write(fds[1], frame.bytes(), RxFrame::kSize), static_cast<ssize_t>(RxFrame::kSize));
  };
  RxFrame flagged = vorel_test::makeFrame({1, 2, 3, 4, 5, 6});
  flagged.status = 0x0004;
  flagged.crc = vorel_test::tableCrcX25(flagged.data(), RxFrame::kDataSize);
  const std::uint8_t garbage[5] = {1, 2, 3, 4, 5};
  for (int k = 0; k < 6; ++k) {
    send(vorel_test::numberedFrame(k), k == 2);  // one wrong CRC
    if (k == 3) {
      send(flagged, false);
    }
    if (k == 4) {
      ASSERT_EQ(write(fds[1], garbage, sizeof garbage), 5);  // out of step
    }
    vorel_test::InCycle mark;
    reader_.cycleMethod();
  }
  {
    ss::Lock held(*mutex_);  // the publication fails: its line
    send(vorel_test::numberedFrame(9), false);
    vorel_test::InCycle mark;
    reader_.cycleMethod();
  }
  reader_.finishDiagnostics();
  EXPECT_EQ(vorel_test::violations(), before_) << vorel_test::firstViolation();
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace vorel_device
