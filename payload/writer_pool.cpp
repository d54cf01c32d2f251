// Writing the entries on a pool of threads. The main thread reads the entry list as before: each
// name, the entry's size, the directories above it, which it makes itself before it queues the
// entry, so that every directory exists before any file in it is opened. The entry then goes to
// the pool with its path, and its bytes follow in 32 KiB chunks from a fixed set, so that the
// memory in use stays bounded whatever the entries' sizes. Each writer takes the next whole entry
// in payload order, creates its file new and writes its chunks as they come.
//
// A writer's entry is a step of its own slot (cleanup/cleanup.h): a console event or a failure
// waits for the chunk under way and then lets no writer go on. The main thread brackets only the
// directories it makes; the waiting for free chunks and the reading of the payload create
// nothing.
#include <cstdint>
#include <cstdlib>

#include <windows.h>

#include "cleanup/cleanup.h"
#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/payload.h"

#ifndef ONEFILE_UNPACK_THREADS
#define ONEFILE_UNPACK_THREADS 0
#endif

int unpack_threads_setting = ONEFILE_UNPACK_THREADS;

namespace {

static_assert(sizeof(SRWLOCK) == sizeof(thread_sync_object) &&
              sizeof(CONDITION_VARIABLE) == sizeof(thread_sync_object));

// Writers chosen from the processor count: two for each processor, since a writer mostly waits
// for the system (under Wine, for its one server process), and no more than four, beyond which
// they only queue at it.
constexpr int writers_per_processor = 2;
constexpr int automatic_writers_limit = 4;
// How often a writer that waits for its entry's next chunk looks whether a cleanup waits for it.
constexpr DWORD chunk_wait_poll_ms = 10;
// From this size of the entry list on, unpacking starts its threads at once: decoding it takes a
// few milliseconds, which decoding ahead takes off the main thread.
constexpr std::uint64_t threads_at_once_bytes = 4 * 1024 * 1024;
// A writer's stack also serves a failure's removal of the target directory, which walks the tree.
constexpr SIZE_T writer_stack_size = 1024 * 1024;

SRWLOCK* lock() {
  return reinterpret_cast<SRWLOCK*>(&unpack_lock);
}
CONDITION_VARIABLE* condition(thread_sync_object& object) {
  return reinterpret_cast<CONDITION_VARIABLE*>(&object);
}

// The main thread waits for the writers (a free chunk, a free job, or the last entry on disk).
// Each wakes it; the progress window may have come due meanwhile.
void wait_for_writers() {
  filler_waiting = true;
  SleepConditionVariableSRW(condition(work_done), lock(), INFINITE, 0);
  filler_waiting = false;
  note_unpack_progress(0, 0);
}

// Writers wait for the main thread (an entry, or an entry's next chunk).
void wait_for_work(DWORD milliseconds) {
  ++writers_waiting;
  SleepConditionVariableSRW(condition(work_queued), lock(), milliseconds, 0);
  --writers_waiting;
}

void wake_writers() {
  if (writers_waiting > 0) WakeAllConditionVariable(condition(work_queued));
}

void wake_filler() {
  if (filler_waiting) WakeConditionVariable(condition(work_done));
}

int take_free_chunk() {
  AcquireSRWLockExclusive(lock());
  while (free_chunks < 0) wait_for_writers();
  const int chunk = free_chunks;
  free_chunks = unpack_chunk_next[chunk];
  ReleaseSRWLockExclusive(lock());
  return chunk;
}

void append_chunk(unpack_job& job, int chunk, std::uint32_t fill) {
  unpack_chunk_fill[chunk] = fill;
  unpack_chunk_next[chunk] = -1;
  AcquireSRWLockExclusive(lock());
  if (job.last_chunk < 0) {
    job.first_chunk = chunk;
  } else {
    unpack_chunk_next[job.last_chunk] = chunk;
  }
  job.last_chunk = chunk;
  wake_writers();
  ReleaseSRWLockExclusive(lock());
}

// The entry's next chunk, once the main thread has queued it. While it waits, the writer hands
// over to a cleanup that waits for it, closing the entry's file (and does not return then).
int take_entry_chunk(int slot, unpack_job& job, void* file) {
  AcquireSRWLockExclusive(lock());
  while (job.first_chunk < 0) {
    if (cleanup_waits_for(slot)) {
      ReleaseSRWLockExclusive(lock());
      hand_over_if_cleanup_waits(slot, file);
      AcquireSRWLockExclusive(lock());
    }
    wait_for_work(chunk_wait_poll_ms);
  }
  const int chunk = job.first_chunk;
  job.first_chunk = unpack_chunk_next[chunk];
  if (job.first_chunk < 0) job.last_chunk = -1;
  ReleaseSRWLockExclusive(lock());
  return chunk;
}

void give_back_chunk(int chunk) {
  AcquireSRWLockExclusive(lock());
  unpack_chunk_next[chunk] = free_chunks;
  free_chunks = chunk;
  wake_filler();
  ReleaseSRWLockExclusive(lock());
}

void write_job(int slot, unpack_job& job) {
  void* file = create_entry_file(job.path);
  step_files[slot].store(file);
  for (std::uint64_t remaining = job.size; remaining > 0;) {
    hand_over_if_cleanup_waits(slot, file);
    const int chunk = take_entry_chunk(slot, job, file);
    write_chunk(file, unpack_chunks[chunk], unpack_chunk_fill[chunk]);
    remaining -= unpack_chunk_fill[chunk];
    give_back_chunk(chunk);
  }
  step_files[slot].store(nullptr);
  CloseHandle(file);
}

DWORD WINAPI write_entries(void* parameter) {
  const int slot = static_cast<int>(reinterpret_cast<std::intptr_t>(parameter));
  AcquireSRWLockExclusive(lock());
  for (;;) {
    while (jobs_taken == jobs_queued && !writers_closing) wait_for_work(INFINITE);
    if (jobs_taken == jobs_queued) break;
    unpack_job& job = unpack_jobs[jobs_taken++ % unpack_job_count];
    ReleaseSRWLockExclusive(lock());
    begin_step(slot);
    write_job(slot, job);
    end_step(slot);
    AcquireSRWLockExclusive(lock());
    job.done = true;
    ++jobs_done;
    wake_filler();
  }
  ReleaseSRWLockExclusive(lock());
  return 0;
}

void release_pool_memory() {
  std::free(unpack_jobs);
  std::free(unpack_chunks);
  unpack_jobs = nullptr;
  unpack_chunks = nullptr;
}

}  // namespace

int unpack_writer_count() {
  if (unpack_threads_setting == 1) return 0;
  if (unpack_threads_setting > 1) {
    return unpack_threads_setting < max_unpack_writers ? unpack_threads_setting
                                                       : max_unpack_writers;
  }
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const int processors = static_cast<int>(system.dwNumberOfProcessors);
  if (processors <= 1) return 0;
  const int writers = processors * writers_per_processor;
  return writers < automatic_writers_limit ? writers : automatic_writers_limit;
}

bool unpack_threads_at_once() {
  return unpack_threads_setting > 1 || payload_content_size() >= threads_at_once_bytes;
}

void start_writer_pool(int writers) {
  // Several writers may fail at once (a full disk fails them all): the ones whose failure is not
  // the reported one close their files before they wait for the process to end.
  set_failure_bystander(release_own_step);
  unpack_jobs = static_cast<unpack_job*>(std::malloc(unpack_job_count * sizeof(unpack_job)));
  unpack_chunks = static_cast<unsigned char(*)[write_buffer_size]>(
      std::malloc(unpack_chunk_count * write_buffer_size));
  if (unpack_jobs == nullptr || unpack_chunks == nullptr) fatal_out_of_memory();
  for (int i = 0; i < unpack_job_count; ++i) unpack_jobs[i].done = true;
  for (int i = 0; i < unpack_chunk_count; ++i) unpack_chunk_next[i] = i + 1;
  unpack_chunk_next[unpack_chunk_count - 1] = -1;
  free_chunks = 0;
  jobs_queued = jobs_taken = jobs_done = 0;
  writers_closing = false;
  unpack_writers_started = 0;
  for (int i = 0; i < writers && i < max_unpack_writers; ++i) {
    HANDLE thread = CreateThread(nullptr, writer_stack_size, write_entries,
                                 reinterpret_cast<void*>(static_cast<std::intptr_t>(i + 1)),
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) break;
    unpack_writer_threads[unpack_writers_started++] = thread;
  }
  // Without a writer, the main thread writes every entry itself.
  if (unpack_writers_started == 0) release_pool_memory();
}

void queue_entry() {
  std::uint64_t remaining = 0;
  read_payload(&remaining, sizeof remaining);
  // A directory that could not be made shows up as the writer's open failure.
  begin_main_thread_step();
  create_containing_directories(entry_path);
  end_main_thread_step();

  AcquireSRWLockExclusive(lock());
  unpack_job& job = unpack_jobs[jobs_queued % unpack_job_count];
  while (!job.done) wait_for_writers();
  ReleaseSRWLockExclusive(lock());
  copy_bounded(job.path, entry_path, wide_path_capacity);
  job.size = remaining;
  job.first_chunk = job.last_chunk = -1;
  job.done = false;
  AcquireSRWLockExclusive(lock());
  ++jobs_queued;
  wake_writers();
  ReleaseSRWLockExclusive(lock());

  while (remaining > 0) {
    const std::uint32_t fill = remaining < write_buffer_size
                                   ? static_cast<std::uint32_t>(remaining)
                                   : static_cast<std::uint32_t>(write_buffer_size);
    const int chunk = take_free_chunk();
    read_payload(unpack_chunks[chunk], fill);
    append_chunk(job, chunk, fill);
    remaining -= fill;
    note_unpack_progress(0, fill);
  }
}

void finish_writer_pool() {
  if (unpack_writers_started == 0) return;
  AcquireSRWLockExclusive(lock());
  while (jobs_done < jobs_queued) wait_for_writers();
  writers_closing = true;
  WakeAllConditionVariable(condition(work_queued));
  ReleaseSRWLockExclusive(lock());
  WaitForMultipleObjects(static_cast<DWORD>(unpack_writers_started), unpack_writer_threads, TRUE,
                         INFINITE);
  for (int i = 0; i < unpack_writers_started; ++i) CloseHandle(unpack_writer_threads[i]);
  unpack_writers_started = 0;
  release_pool_memory();
}
