// Launcher core: the entry sequence and role decision, the child launch and supervision, and the
// hand-off to the main module.
#pragma once

#include <cstddef>
#include <cstdint>

#include <windows.h>

// Runs the launcher in the role that this process has; returns the process exit code.
int run_launcher(int argument_count, wchar_t** arguments);

// How a launcher keeps its unpacked files for later launches (launcher/kept_launch.cpp): the
// entry points onefile_keep at one of the two modes there, as the settings say, or at none.
struct keep_mode {
  // Parent: makes sure that the kept directory is there and sound (with or without comparing
  // every kept file's bytes with the payload's), then starts the child and waits; returns the
  // process exit code.
  int (*run_parent)(wchar_t** arguments);
  // Child: waits, before it loads the main module, until its parent has judged the kept
  // directory (the parent starts it while it judges); runs from the parent's staging directory
  // instead when the parent names one (it could not move it into place).
  void (*wait_for_judgement)();
};
extern "C" const keep_mode onefile_keep_kept, onefile_keep_verified;
extern const keep_mode* onefile_keep;
// Sets a stale kept directory aside for the sweep (set_aside_own_directory); replaceable, so that
// tests can refuse it.
extern bool (*kept_directory_set_aside)(const wchar_t* path);

// Reads the launcher's settings and payload from its own image (launcher/settings.cpp), or ends
// the run with the header error: a stub run as it is has none.
void read_attached_settings();

// Parent, on a freshly opened payload stream: chooses how many writers unpack (starting the
// decoding ahead when there are any), and returns that count for unpack_payload.
int prepare_unpacking();
// Parent: reads every payload entry and writes it below target_directory, then checks the
// frame's end; every file is whole and closed on return, and the first entry's path is left in
// main_module_path.
void unpack_payload(int writers);

// The progress window (launcher/progress_window.cpp): a graphical launch still unpacking a second
// after unpack_payload began shows the product's name, a progress bar, the file count and a
// Cancel button, which ends the launch as Ctrl+C does. Made only then, on a thread of its own that
// loads the windowing libraries; closed before the child starts.
//
// Main thread: unpack_payload begins and ends the window's time (the unpacking counts its progress
// with note_unpack_progress, payload/payload.h).
void begin_unpack_progress();
// Closes the window, if made, and waits until it is gone.
void end_unpack_progress();

// What VESKAR_ONEFILE_PARENT names: a live process that runs this same executable, one that runs
// something else or none at all, or one that is there but whose image can't be read.
enum class parent_check { same_executable, other, unreadable };
parent_check check_parent_process();
// Opens the parent for the check; replaceable, so that tests can refuse rights.
extern void*(__stdcall* process_open)(unsigned long access, int inherit, unsigned long process_id);
// True when VESKAR_ONEFILE_PARENT names the process that created this one (whose id parent_id
// receives): a launch's own child, not merely a process that inherited the value. when_unknown
// when the system does not tell this process's creator.
bool is_named_parents_own_child(unsigned long* parent_id, bool when_unknown);
// Removes the inherited time and random values and publishes this process's id.
void publish_parent_identity();
// True when the time and random values that name the parent's directory are inherited.
bool inherits_directory_values();
// Sets the time and random values that the target spec did not use, for the child.
void publish_directory_values();
// Parses a process id: optional white space and sign, decimal digits, nothing after, 32-bit range.
bool parse_process_id(const wchar_t* text, std::int32_t* value);

// Parent: starts the child from the launcher's own executable, waits, cleans up; returns the
// child's exit code. The same in two steps: start_child returns the parent's own handle on the
// child, which wait_for_child (or, for a child that must not run on, abandon_child) takes.
int launch_child_and_wait(wchar_t** arguments);
void* start_child(wchar_t** arguments);
int wait_for_child(void* own_handle);
void abandon_child(void* own_handle);
// The argument text of a command line: what follows the program name, delimited by the rule of
// the C runtime that this launcher was built with.
const wchar_t* arguments_after_program_name(const wchar_t* command_line);
// Writes the quoted program path and the argument text into line; false when it does not fit.
bool join_command_line(const wchar_t* program, const wchar_t* arguments, wchar_t* line,
                       std::size_t capacity);

// The start-up state that a process started by the launcher gets from the one that starts it:
// show state, window position and size, console buffer and colours, the title (for a shortcut,
// the link's name or the application id that the taskbar groups by) and the flags that go with
// them. Fills info from this process's own start-up record; true when that record carries shell
// data in the place of standard handles (a hotkey, the monitor the user started from), which
// info then holds as they came, and no standard handle may be passed.
bool pass_on_startup_state(STARTUPINFOW* info);

// Parent: how the child is started. The startup record carries the parent's own start-up state
// and its standard handles as inheritable duplicates, which a handle list makes the only ones the
// child inherits; the flags carry the parent's priority class, CREATE_SUSPENDED and
// DETACHED_PROCESS when the parent has no console (start_child adds CREATE_BREAKAWAY_FROM_JOB
// where the child must leave the caller's job to be put into the parent's).
struct child_startup {
  STARTUPINFOEXW info;
  unsigned long creation_flags;
  int inherit_handles;
};
void prepare_child_startup(child_startup* startup);
// Takes the handle list out of the child's start (the system refused it); false when there is
// none.
bool drop_handle_list(child_startup* startup);
// Closes the duplicates and releases the handle list once the child has been started.
void release_child_startup(child_startup* startup);
// Starts the child; replaceable, so that tests can refuse a start.
extern decltype(&CreateProcessW) process_creation;
// True when a start that failed with this error is to be tried again (the process was lost while
// it started), counting the lost starts.
bool start_again_after(unsigned long error, int* lost_starts);

// Parent: a job that ends the child when the parent's handle closes, or none.
void* make_child_job();
// Puts the child into the job; replaceable, so that tests can refuse it.
extern BOOL(WINAPI* job_assignment)(HANDLE job, HANDLE process);
// True when this process is in a job that lets its processes start children outside it.
bool own_job_allows_breakaway();
// Reads a job's limits (for none, those of the job this process is in); replaceable, so that
// tests can stand in for the answer that Wine does not give.
extern decltype(&QueryInformationJobObject) job_information_query;
// Tells the child whether the parent put it into its job: "1" when it did.
inline constexpr char in_parent_job_variable[] = "VESKAR_ONEFILE_IN_PARENT_JOB";
// Child: ends this process when its parent ends, unless the parent's job does so already.
void watch_parent_unless_in_job();
// Within the child's process, between its watch of the parent and a stock runner in the main
// module (which links a copy of its own of this code): the handle, in decimal, of a program that
// no job of the runner's holds, which the watch ends before it ends the child.
inline constexpr wchar_t watched_program_variable[] = L"VESKAR_ONEFILE_PROGRAM_HANDLE";

// --- The stock runner: the main module for an application that is a program ---

// The program's job (launcher/runner_job.cpp): it ends the program and what the program starts
// when this process ends, except what leaves it by asking; none when it can't be had.
void* make_program_job();
// Puts the program into its job; replaceable, so that tests can refuse it.
extern BOOL(WINAPI* program_job_assignment)(HANDLE job, HANDLE process);
// Once the program has ended: ends the job's processes whose image lies below the directory of
// main_module_path, and lets the others go on (the job no longer ends them). Where one that may
// run from there can't be ended, the job still ends every process when this one ends.
void end_program_job(void* job, const wchar_t* main_module_path);
// Names a program that no job holds to the child's watch of the parent
// (watched_program_variable), which then ends it too.
void end_with_parent_watch(void* process);
// Console control events (launcher/runner_console.cpp): the handler is registered before the
// program starts and given the program once it runs. Ctrl+C and Ctrl+Break are the program's
// when it is on this console (TRUE); on close, log-off and shut-down the program has a second to
// end, then is stopped (FALSE).
void watch_console_control();
void pass_console_control_to(void* process);
BOOL WINAPI pass_control_event(DWORD event_code);

// Every process, first: libraries loaded by name come from the system folder alone.
void restrict_library_search();
// Child: loads the main module and returns what its run_code returns; from here on the
// application's libraries come from the unpack directory and the system folder.
int hand_off_to_main_module(int argument_count, wchar_t** arguments);

// The main module's entry point.
using run_code_function = int (*)(int argument_count, wchar_t** arguments,
                                  const wchar_t* main_module_path);
