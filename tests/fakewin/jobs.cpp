// Programs, the processes that run them on virtual time, and job objects:
// what a hidden command run in a job of its own needs, and as strictly as
// Windows: a program is named by its full path, a process started without
// CREATE_SUSPENDED starts its children before it can be put in a job, and
// only a job ends them with it.
#include <memory>
#include <string>
#include <vector>

#include "internal.h"

namespace fake {
namespace {

constexpr uint64_t kNever = UINT64_MAX;
constexpr DWORD kProcessId = 4242;

struct ProcessObject {
  std::string program;
  Program behaviour;
  bool suspended = true;
  HANDLE job = nullptr;
  std::atomic<uint64_t> end{kNever};
  DWORD exit_code = STILL_ACTIVE;
};
struct JobObject {
  bool kill_on_close = false;
};

std::map<std::string, Program> programs;
// Never freed within a world: a waiter may still read a process's end.
std::vector<std::unique_ptr<ProcessObject>> processes;
std::map<HANDLE, ProcessObject *> process_handles;  // process and main-thread handles
std::map<HANDLE, JobObject> jobs;
std::vector<std::string> command_lines;

bool alive(const ProcessObject &p) { return p.end.load() > now(); }

void end(ProcessObject &p, DWORD code) {
  if (!alive(p)) return;
  p.exit_code = code;
  p.end = now();
}

// A process starts running: its exit falls due, and its children start,
// inside its job if it has one by then.
void start_running(ProcessObject &p) {
  p.suspended = false;
  if (!p.behaviour.hangs) p.end = now() + p.behaviour.run_ms;
  for (int i = 0; i < p.behaviour.children; i++) {
    auto child = std::make_unique<ProcessObject>();
    child->program = p.program + " (child)";
    child->behaviour.hangs = true;
    child->suspended = false;
    child->job = p.job;
    processes.push_back(std::move(child));
  }
}

void end_job(HANDLE job, DWORD code) {
  for (auto &p : processes)
    if (p->job == job) end(*p, code);
  detail::notify_change();
}

ProcessObject *process_of(HANDLE h, const char *kind) {
  auto it = process_handles.find(h);
  return it != process_handles.end() && detail::handle_is(h, kind) ? it->second : nullptr;
}

BOOL fail_with(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

void add_program(const std::string &path, const Program &program) {
  detail::WorldLock lock;
  files()[path] = File{};
  programs[path] = program;
}

int live_processes() {
  detail::WorldLock lock;
  int n = 0;
  for (const auto &p : processes)
    if (alive(*p)) n++;
  return n;
}

std::vector<std::string> started_command_lines() {
  detail::WorldLock lock;
  return command_lines;
}

namespace detail {
void reset_jobs() {
  programs.clear();
  processes.clear();
  process_handles.clear();
  jobs.clear();
  command_lines.clear();
}

const std::atomic<uint64_t> *process_end(HANDLE process) {
  WorldLock lock;
  ProcessObject *p = process_of(process, "process");
  return p ? &p->end : nullptr;
}

void close_job_object(HANDLE handle, const std::string &kind) {
  WorldLock lock;
  if (kind == "job") {
    auto it = jobs.find(handle);
    if (it != jobs.end() && it->second.kill_on_close) end_job(handle, 0);
    jobs.erase(handle);
  } else {
    process_handles.erase(handle);
  }
}
}  // namespace detail
}  // namespace fake

using namespace fake::detail;
using fake::ProcessObject;

DWORD WINAPI GetCurrentProcessId(void) { return fake::kProcessId; }

// The program is lpApplicationName alone: the fake never searches, and a
// caller that leaves it null is a violation.
BOOL WINAPI CreateProcessA(LPCSTR application_name, LPSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                           DWORD flags, LPVOID environment, LPCSTR current_directory,
                           LPSTARTUPINFOA startup_info, LPPROCESS_INFORMATION information) {
  const char *shown = application_name ? application_name : "(null)";
  if (DWORD e = scripted_failure("CreateProcessA")) {
    log("CreateProcessA %s failed=%u", shown, e);
    return fake::fail_with(e);
  }
  (void)process_attributes, (void)thread_attributes, (void)environment, (void)current_directory;
  if (!application_name || !startup_info || startup_info->cb != sizeof(STARTUPINFOA) ||
      !information) {
    violation("CreateProcessA %s: no program named, or no start-up record", shown);
    return fake::fail_with(ERROR_INVALID_PARAMETER);
  }
  WorldLock lock;
  std::string program = on_disk(application_name);
  auto listed = fake::programs.end();
  for (auto it = fake::programs.begin(); it != fake::programs.end(); ++it)
    if (iequals(it->first, program)) listed = it;
  DWORD error = 0;
  if (listed != fake::programs.end() && file_exists(program)) {
  } else if (file_exists(program)) {
    error = ERROR_BAD_EXE_FORMAT;
  } else {
    size_t slash = program.find_last_of('\\');
    bool folder =
        slash != std::string::npos && folder_exists(program.substr(0, slash == 2 ? 3 : slash));
    error = folder ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
  if (error) {
    log("CreateProcessA %s failed=%u", shown, error);
    return fake::fail_with(error);
  }
  bool hidden =
      (startup_info->dwFlags & STARTF_USESHOWWINDOW) && startup_info->wShowWindow == SW_HIDE;
  auto p = std::make_unique<ProcessObject>();
  p->program = listed->first;
  p->behaviour = listed->second;
  ProcessObject *raw = p.get();
  fake::processes.push_back(std::move(p));
  fake::command_lines.push_back(command_line ? command_line : "");
  if (!(flags & CREATE_SUSPENDED)) fake::start_running(*raw);
  information->hProcess = new_handle("process");
  information->hThread = new_handle("thread");
  information->dwProcessId = static_cast<DWORD>(fake::processes.size()) * 4 + 5000;
  information->dwThreadId = information->dwProcessId + 1;
  fake::process_handles[information->hProcess] = raw;
  fake::process_handles[information->hThread] = raw;
  log("CreateProcessA %s cmd=[%s] inherit=%d flags=0x%x hidden=%d -> %s", shown,
      command_line ? command_line : "(null)", inherit_handles, flags, hidden ? 1 : 0,
      handle_name(information->hProcess).c_str());
  return TRUE;
}

DWORD WINAPI ResumeThread(HANDLE thread) {
  std::string name = handle_name(thread);
  if (DWORD e = scripted_failure("ResumeThread")) {
    log("ResumeThread %s failed=%u", name.c_str(), e);
    SetLastError(e);
    return static_cast<DWORD>(-1);
  }
  WorldLock lock;
  ProcessObject *p = fake::process_of(thread, "thread");
  if (!p) {
    violation("ResumeThread on %s, not a started process's thread", name.c_str());
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  DWORD previous = p->suspended ? 1 : 0;
  if (p->suspended && fake::alive(*p)) fake::start_running(*p);
  log("ResumeThread %s -> %u", name.c_str(), previous);
  return previous;
}

BOOL WINAPI TerminateProcess(HANDLE process, UINT exit_code) {
  std::string name = handle_name(process);
  if (DWORD e = scripted_failure("TerminateProcess")) {
    log("TerminateProcess %s failed=%u", name.c_str(), e);
    return fake::fail_with(e);
  }
  WorldLock lock;
  ProcessObject *p = fake::process_of(process, "process");
  if (!p) {
    violation("TerminateProcess on %s, not an open process", name.c_str());
    return fake::fail_with(ERROR_INVALID_HANDLE);
  }
  fake::end(*p, exit_code);
  notify_change();
  log("TerminateProcess %s %u", name.c_str(), exit_code);
  return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
  std::string name = handle_name(process);
  if (DWORD e = scripted_failure("GetExitCodeProcess")) {
    log("GetExitCodeProcess %s failed=%u", name.c_str(), e);
    return fake::fail_with(e);
  }
  WorldLock lock;
  ProcessObject *p = fake::process_of(process, "process");
  if (!p || !exit_code) {
    violation("GetExitCodeProcess on %s, not an open process", name.c_str());
    return fake::fail_with(ERROR_INVALID_HANDLE);
  }
  *exit_code = fake::alive(*p) ? STILL_ACTIVE : p->exit_code;
  if (!fake::alive(*p) && p->exit_code == STILL_ACTIVE) *exit_code = p->behaviour.exit_code;
  log("GetExitCodeProcess %s -> %u", name.c_str(), *exit_code);
  return TRUE;
}

HANDLE WINAPI CreateJobObjectA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name) {
  if (DWORD e = scripted_failure("CreateJobObjectA")) {
    log("CreateJobObjectA failed=%u", e);
    SetLastError(e);
    return nullptr;
  }
  WorldLock lock;
  HANDLE h = new_handle("job");
  fake::jobs[h] = fake::JobObject{};
  log("CreateJobObjectA security=%s name=%s -> %s", attributes ? "given" : "null",
      name ? name : "null", handle_name(h).c_str());
  return h;
}

BOOL WINAPI SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS info_class, LPVOID info,
                                    DWORD size) {
  std::string name = handle_name(job);
  if (DWORD e = scripted_failure("SetInformationJobObject")) {
    log("SetInformationJobObject %s failed=%u", name.c_str(), e);
    return fake::fail_with(e);
  }
  WorldLock lock;
  auto it = fake::jobs.find(job);
  if (!handle_is(job, "job") || it == fake::jobs.end() || !info) {
    violation("SetInformationJobObject on %s, not an open job", name.c_str());
    return fake::fail_with(ERROR_INVALID_HANDLE);
  }
  DWORD flags;
  if (info_class == JobObjectExtendedLimitInformation &&
      size == sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION)) {
    flags =
        static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION *>(info)->BasicLimitInformation.LimitFlags;
  } else if (info_class == JobObjectBasicLimitInformation &&
             size == sizeof(JOBOBJECT_BASIC_LIMIT_INFORMATION)) {
    flags = static_cast<JOBOBJECT_BASIC_LIMIT_INFORMATION *>(info)->LimitFlags;
    // Windows refuses the extended limits in the basic record.
    if (flags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) {
      log("SetInformationJobObject %s failed=%u", name.c_str(), ERROR_INVALID_PARAMETER);
      return fake::fail_with(ERROR_INVALID_PARAMETER);
    }
  } else {
    log("SetInformationJobObject %s class=%d size=%u failed=%u", name.c_str(), info_class, size,
        ERROR_BAD_LENGTH);
    return fake::fail_with(ERROR_BAD_LENGTH);
  }
  it->second.kill_on_close = (flags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0;
  log("SetInformationJobObject %s limits=0x%x", name.c_str(), flags);
  return TRUE;
}

BOOL WINAPI AssignProcessToJobObject(HANDLE job, HANDLE process) {
  std::string name = handle_name(job), process_name = handle_name(process);
  if (DWORD e = scripted_failure("AssignProcessToJobObject")) {
    log("AssignProcessToJobObject %s %s failed=%u", name.c_str(), process_name.c_str(), e);
    return fake::fail_with(e);
  }
  WorldLock lock;
  ProcessObject *p = fake::process_of(process, "process");
  if (!handle_is(job, "job") || !p) {
    violation("AssignProcessToJobObject %s %s: not an open job and process", name.c_str(),
              process_name.c_str());
    return fake::fail_with(ERROR_INVALID_HANDLE);
  }
  if (p->job) {
    // Windows 7 has no nested jobs.
    log("AssignProcessToJobObject %s %s failed=%u", name.c_str(), process_name.c_str(),
        ERROR_ACCESS_DENIED);
    return fake::fail_with(ERROR_ACCESS_DENIED);
  }
  p->job = job;
  log("AssignProcessToJobObject %s %s", name.c_str(), process_name.c_str());
  return TRUE;
}

BOOL WINAPI TerminateJobObject(HANDLE job, UINT exit_code) {
  std::string name = handle_name(job);
  if (DWORD e = scripted_failure("TerminateJobObject")) {
    log("TerminateJobObject %s failed=%u", name.c_str(), e);
    return fake::fail_with(e);
  }
  WorldLock lock;
  if (!handle_is(job, "job")) {
    violation("TerminateJobObject on %s, not an open job", name.c_str());
    return fake::fail_with(ERROR_INVALID_HANDLE);
  }
  fake::end_job(job, exit_code);
  log("TerminateJobObject %s %u", name.c_str(), exit_code);
  return TRUE;
}
