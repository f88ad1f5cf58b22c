// The clock and the waits on kernel events, in virtual and real time.
#include <gtest/gtest.h>

#include "sim/clock.h"
#include "sim/kernel.h"
#include "sim_core_fixture.h"

namespace {

using simtest::Install;
constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kMs = 1'000'000;

TEST(SimCoreClock, VirtualTimeMovesOnlyWhenTheProgramReadsOrTheSimulationJumps) {
  Install();
  EXPECT_EQ(sim::ClockPeekNs(), kSecond);
  EXPECT_EQ(sim::ClockPeekNs(), kSecond) << "the simulator's reads move nothing";
  EXPECT_EQ(MonotonicNowNs(), kSecond);
  EXPECT_EQ(MonotonicNowNs(), kSecond + 1000);
  EXPECT_EQ(sim::ClockPeekNs(), kSecond + 2000);
  sim::ClockAdvanceTo(5 * kSecond);
  EXPECT_EQ(sim::ClockPeekNs(), 5 * kSecond);
  sim::ClockAdvanceTo(2 * kSecond);
  EXPECT_EQ(sim::ClockPeekNs(), 5 * kSecond) << "never backwards";
  Install();
  EXPECT_EQ(sim::ClockPeekNs(), kSecond) << "a new machine starts at 1 s again";
}

TEST(SimCoreClock, RealTimeFollowsTheHostAndSleeps) {
  Install("", sim::TimeMode::Real);
  EXPECT_EQ(sim::ClockMode(), sim::TimeMode::Real);
  const std::int64_t start = MonotonicNowNs();
  sim::ClockAdvanceTo(start + 5 * kMs);
  EXPECT_GE(sim::ClockPeekNs(), start + 5 * kMs);
}

TEST(SimCoreWait, ScheduledSignalMovesTheClockAndAutoResetConsumesIt) {
  Install();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(sim::KernelIsEvent(event));
  sim::KernelScheduleEvent(event, kSecond + 300'000);
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(sim::ClockPeekNs(), kSecond + 300'000);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the signal was consumed";
  EXPECT_EQ(sim::ClockPeekNs(), kSecond + 300'000);
}

TEST(SimCoreWait, TimeOutComesFirst) {
  Install();
  HANDLE event = sim::KernelCreateEvent(false, false, "present waitable");
  sim::KernelScheduleEvent(event, 3 * kSecond);
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_TIMEOUT);
  EXPECT_EQ(sim::ClockPeekNs(), 2 * kSecond);
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0) << "due exactly at the time-out";
  EXPECT_EQ(sim::ClockPeekNs(), 3 * kSecond);
}

TEST(SimCoreWait, NeverSignalledWaitsOutItsTimeOut) {
  Install();
  HANDLE event = sim::KernelCreateEvent(false, false, "fence event");
  EXPECT_EQ(WaitForSingleObject(event, 250), WAIT_TIMEOUT);
  EXPECT_EQ(sim::ClockPeekNs(), kSecond + 250 * kMs);
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_FAILED);
  EXPECT_EQ(sim::ValidationErrors().size(), 1u) << "an endless wait is reported, not hung";
}

TEST(SimCoreWait, ManualResetStaysSignalledAndPastSchedulesSignalAtOnce) {
  Install();
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  sim::KernelSetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  HANDLE initially = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(initially, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(initially, 0), WAIT_TIMEOUT);
  sim::ClockAdvanceTo(2 * kSecond);
  sim::KernelScheduleEvent(initially, kSecond);
  EXPECT_EQ(WaitForSingleObject(initially, 0), WAIT_OBJECT_0);
  EXPECT_EQ(sim::ClockPeekNs(), 2 * kSecond);
}

TEST(SimCoreWait, EarlierScheduleIsKept) {
  Install();
  HANDLE event = sim::KernelCreateEvent(false, false, "fence event");
  sim::KernelScheduleEvent(event, 4 * kSecond);
  sim::KernelScheduleEvent(event, 2 * kSecond);
  sim::KernelScheduleEvent(event, 3 * kSecond);
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(sim::ClockPeekNs(), 2 * kSecond);
}

TEST(SimCoreWait, RealTimeWaitSleepsUntilTheSignal) {
  Install("", sim::TimeMode::Real);
  HANDLE event = sim::KernelCreateEvent(false, false, "present waitable");
  const std::int64_t due = sim::ClockPeekNs() + 10 * kMs;
  sim::KernelScheduleEvent(event, due);
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  EXPECT_GE(sim::ClockPeekNs(), due);
  const std::int64_t before = sim::ClockPeekNs();
  EXPECT_EQ(WaitForSingleObject(event, 5), WAIT_TIMEOUT);
  EXPECT_GE(sim::ClockPeekNs(), before + 5 * kMs);
}

TEST(SimCoreKernel, HandlesNameTheirObjectsUntilClosedAndAreAccountedAtExit) {
  Install();
  int surface = 0;
  HANDLE shared = sim::KernelCreateObjectHandle(&surface, "shared surface");
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "Local\\x");
  EXPECT_EQ(sim::KernelHandleObject(shared), &surface);
  EXPECT_EQ(sim::KernelHandleObject(event), nullptr);
  EXPECT_FALSE(sim::KernelIsEvent(shared));
  EXPECT_EQ(WaitForSingleObject(shared, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  sim::MachineReportHeld();
  const auto held = simtest::EventsOf("held");
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0]["kind"], "handle");
  EXPECT_EQ(held[0]["what"], "shared surface");
  Install();
  EXPECT_EQ(sim::KernelHandleObject(shared), nullptr) << "a new machine has no handles";
}

}  // namespace
