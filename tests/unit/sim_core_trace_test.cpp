// The trace file and the machine API: line format, in-memory events, the
// program's arguments and the end-of-run accounting.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim_core_fixture.h"

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string TempPath(const char* name) {
  return ::testing::TempDir() + "/" + name + "-" + std::to_string(::getpid());
}

TEST(SimCoreTrace, LinesLeadWithSeqTimeAndCallAndAreWrittenAtOnce) {
  const std::string path = TempPath("trace.jsonl");
  sim::ClockReset(sim::TimeMode::Virtual);
  sim::TraceStart(path, true);
  sim::TraceEmit("present", {{"frame", 0}, {"surfaceId", 7}, {"status", -208}});
  // Written before the trace stops: a run that dies keeps its trace.
  const auto early = ReadLines(path);
  ASSERT_EQ(early.size(), 1u);
  EXPECT_EQ(
      early[0],
      R"({"seq":0,"t_ns":1000000000,"call":"present","frame":0,"status":-208,"surfaceId":7})");
  MonotonicNowNs();
  sim::TraceEmit("validation", {{"message", "x \"quoted\""}});
  sim::TraceStop();
  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1],
            R"({"seq":1,"t_ns":1000001000,"call":"validation","message":"x \"quoted\""})");
  ASSERT_EQ(sim::TraceEvents().size(), 2u);
  EXPECT_EQ(sim::TraceEvents()[1]["seq"], 1);
  EXPECT_EQ(sim::TraceEvents()[1]["call"], "validation");
  EXPECT_FALSE(sim::TraceEnabled());
  sim::TraceEmit("present", {{"frame", 1}});
  EXPECT_EQ(ReadLines(path).size(), 2u) << "nothing after the trace stopped";
  std::remove(path.c_str());
}

TEST(SimCoreTrace, NewTraceStartsAtSeqZeroAndHexIsUpperCase) {
  sim::TraceStart("");
  sim::TraceEmit("a", nullptr);
  sim::TraceStart("");
  sim::TraceEmit("b", nlohmann::json::object());
  ASSERT_EQ(sim::TraceEvents().size(), 1u);
  EXPECT_EQ(sim::TraceEvents()[0]["seq"], 0);
  sim::TraceStop();
  EXPECT_EQ(sim::TraceHex(0x5ed18dc4u), "0x5ED18DC4");
  EXPECT_EQ(sim::TraceHex(0x1u), "0x00000001");
  EXPECT_EQ(sim::TraceHex(0x887A0005u), "0x887A0005");
}

TEST(SimCoreTrace, NoTraceWhenNotAsked) {
  sim::MachineOptions options;
  options.time = sim::TimeMode::Virtual;
  sim::MachineInstall(sim::DefaultScenario(), options);
  EXPECT_FALSE(sim::TraceEnabled());
}

int g_seenArgc = 0;
std::vector<std::string> g_seenArgs;
bool g_terminated = false;

int RecordingEntry(int argc, char** argv) {
  g_seenArgc = argc;
  g_seenArgs.assign(argv, argv + argc);
  g_terminated = argv[argc] == nullptr;
  LocalAlloc(LPTR, 10);
  sim::RecordValidation("something the debug layer names");
  return 3;
}

TEST(SimCoreMachine, RunPassesArgumentsAndAccountsForWhatIsHeld) {
  simtest::Install();
  const int code = sim::MachineRun(&RecordingEntry, {"dmcheck", "--mode", "1"});
  EXPECT_EQ(code, 3);
  EXPECT_EQ(g_seenArgc, 3);
  EXPECT_EQ(g_seenArgs, (std::vector<std::string>{"dmcheck", "--mode", "1"}));
  EXPECT_TRUE(g_terminated);
  ASSERT_EQ(sim::ValidationErrors().size(), 1u);
  const auto validations = simtest::EventsOf("validation");
  ASSERT_EQ(validations.size(), 1u);
  EXPECT_EQ(validations[0]["message"], "something the debug layer names");
  const auto held = simtest::EventsOf("held");
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0]["kind"], "localAlloc");
  EXPECT_FALSE(sim::TraceEnabled()) << "the run ends the trace";
  simtest::Install();
  EXPECT_TRUE(sim::ValidationErrors().empty()) << "a new machine has no validation errors";
}

}  // namespace
