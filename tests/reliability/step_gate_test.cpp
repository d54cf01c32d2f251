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
  EXPECT_EQ(main_thread_step.load(), main_thread_stopped);
}

TEST(StepGate, WithNoStepUnderWayTheCleanupStopsAtOnceAndAgainHarmlessly) {
  cleanup_child_and_directory();
  EXPECT_EQ(main_thread_step.load(), main_thread_stopped);
  cleanup_child_and_directory();  // the main thread's own cleanup after the handler's
  EXPECT_EQ(main_thread_step.load(), main_thread_stopped);
}

}  // namespace
