// The main thread's steps against a console event's cleanup, within one process: the cleanup
// waits for the step under way and no step comes after it.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <windows.h>

#include "cleanup/cleanup.h"
#include "launcher/state.h"

namespace {

TEST(StepGate, ACleanupWaitsForTheStepUnderWayAndNoStepFollows) {
  std::atomic<bool> in_step{false}, step_done{false}, next_step_began{false};
  // Stands for the main thread: one step that lasts a while, then the attempt at another.
  std::thread main_thread([&] {
    begin_main_thread_step();
    in_step = true;
    Sleep(300);
    step_done = true;
    end_main_thread_step();
    begin_main_thread_step();  // never returns: the cleanup has begun
    next_step_began = true;
  });
  main_thread.detach();  // it waits for the process to end, as the launcher's would
  while (!in_step) Sleep(1);
  cleanup_child_and_directory();  // not armed: it only stops the main thread's steps
  EXPECT_TRUE(step_done);
  Sleep(200);
  EXPECT_FALSE(next_step_began);
  EXPECT_EQ(thread_steps[0].load(), step_stopped);
}

TEST(StepGate, ACleanupWaitsForOneChunkOfAnEntryNotTheWholeEntry) {
  std::atomic<int> chunks{0};
  // Stands for the main thread writing one long entry: a hundred chunks of 50 ms (5 s in all).
  std::thread main_thread([&] {
    begin_main_thread_step();
    for (int chunk = 0; chunk < 100; ++chunk) {
      hand_over_if_cleanup_waits(0, nullptr);
      Sleep(50);
      ++chunks;
    }
    end_main_thread_step();
  });
  main_thread.detach();
  while (chunks < 2) Sleep(1);
  cleanup_child_and_directory();
  // Handed over between two chunks: the entry was cut short and no chunk follows.
  const int written = chunks;
  EXPECT_LT(written, 100);
  Sleep(200);
  EXPECT_EQ(chunks.load(), written);
  EXPECT_EQ(thread_steps[0].load(), step_stopped);
}

TEST(StepGate, AStepThatHangsHoldsTheCleanupOnlySoLong) {
  std::atomic<bool> in_step{false};
  std::thread main_thread([&] {
    begin_main_thread_step();
    in_step = true;
    Sleep(INFINITE);  // a write that never returns
  });
  main_thread.detach();
  while (!in_step) Sleep(1);
  cleanup_child_and_directory();  // returns: the console event's cleanup goes on without it
  EXPECT_EQ(thread_steps[0].load(), step_stopping);
}

TEST(StepGate, WithNoStepUnderWayTheCleanupStopsAtOnceAndAgainHarmlessly) {
  cleanup_child_and_directory();
  EXPECT_EQ(thread_steps[0].load(), step_stopped);
  cleanup_child_and_directory();  // the main thread's own cleanup after the handler's
  EXPECT_EQ(thread_steps[0].load(), step_stopped);
}

}  // namespace
