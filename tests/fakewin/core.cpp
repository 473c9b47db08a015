// The fake's core: the journal, scripted faults and hooks, handles, the last
// error, and the reset that starts a new world.
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "internal.h"

namespace fake {
namespace detail {
namespace {

struct Rule {
  std::string call;
  int nth;
  DWORD error;
};
struct Hook {
  std::string call;
  int nth;
  std::function<void()> fn;
};
struct HandleInfo {
  std::string kind, name;
  bool open;
};

std::deque<std::string> journal_lines;
size_t journal_limit = 0;
std::vector<std::string> violation_lines;
std::vector<Rule> rules;
std::vector<Hook> hooks;
std::map<std::string, int> uses;
std::map<uintptr_t, HandleInfo> handles;
std::map<std::string, int> handle_counters;
uintptr_t next_handle = 0x1000;

std::string vformat(const char *format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string big(n + 1, '\0');
  vsnprintf(&big[0], big.size(), format, args);
  big.resize(n);
  return big;
}

}  // namespace

std::recursive_mutex &world() {
  static std::recursive_mutex &m = *new std::recursive_mutex;  // outlives parked threads
  return m;
}

// Defined by the scheduler: parks a thread of an ended process for ever.
void park_if_ended();

DWORD scripted_failure(const char *call) {
  park_if_ended();
  std::vector<std::function<void()>> due;
  DWORD error = 0;
  {
    WorldLock lock;
    int use = ++uses[call];
    for (const Hook &h : hooks)
      if (h.call == call && (h.nth == 0 || h.nth == use)) due.push_back(h.fn);
    for (const Rule &r : rules)
      if (r.call == call && (r.nth == 0 || r.nth == use)) error = r.error;
  }
  for (auto &fn : due) fn();
  return error;
}

void log(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = vformat(format, args);
  va_end(args);
  WorldLock lock;
  journal_lines.push_back(line);  // a copy made inside the quiet section (TSan)
  if (journal_limit && journal_lines.size() > journal_limit) journal_lines.pop_front();
  if (journal_lines.size() > 5000000) {
    fprintf(stderr, "fake: journal passed 5 million lines; a loop runs away\n");
    abort();
  }
}

void violation(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = vformat(format, args);
  va_end(args);
  WorldLock lock;
  violation_lines.push_back(line);
  journal_lines.push_back("VIOLATION " + line);
}

HANDLE new_handle(const char *kind) {
  WorldLock lock;
  uintptr_t value = next_handle;
  next_handle += 4;
  int n = ++handle_counters[kind];
  handles[value] = HandleInfo{kind, std::string(kind) + std::to_string(n), true};
  return reinterpret_cast<HANDLE>(value);
}

bool handle_is(HANDLE h, const char *kind) {
  WorldLock lock;
  auto it = handles.find(reinterpret_cast<uintptr_t>(h));
  return it != handles.end() && it->second.open && it->second.kind == kind;
}

bool close_handle(HANDLE h, const char *kind) {
  WorldLock lock;
  auto it = handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == handles.end()) {
    violation("close of unknown %s handle %p", kind, h);
    return false;
  }
  if (!it->second.open) {
    violation("%s closed twice", it->second.name.c_str());
    return false;
  }
  if (it->second.kind != kind) {
    violation("%s closed as a %s handle", it->second.name.c_str(), kind);
    return false;
  }
  it->second.open = false;
  return true;
}

std::string handle_kind(HANDLE h) {
  WorldLock lock;
  auto it = handles.find(reinterpret_cast<uintptr_t>(h));
  return it != handles.end() && it->second.open ? it->second.kind : std::string();
}

std::string handle_name(HANDLE h) {
  WorldLock lock;
  auto it = handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == handles.end()) return h ? "unknown" : "null";
  return it->second.name;
}

bool iequals(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

#if defined(__SANITIZE_THREAD__)
extern "C" {
void AnnotateIgnoreReadsBegin(const char *file, int line);
void AnnotateIgnoreReadsEnd(const char *file, int line);
void AnnotateIgnoreWritesBegin(const char *file, int line);
void AnnotateIgnoreWritesEnd(const char *file, int line);
void AnnotateIgnoreSyncBegin(const char *file, int line);
void AnnotateIgnoreSyncEnd(const char *file, int line);
void AnnotateHappensBefore(const char *file, int line, const volatile void *address);
void AnnotateHappensAfter(const char *file, int line, const volatile void *address);
}
QuietSection::QuietSection() {
  AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
  AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
  AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
}
QuietSection::~QuietSection() {
  AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
  AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
  AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
}
void happens_before(const void *address) { AnnotateHappensBefore(__FILE__, __LINE__, address); }
void happens_after(const void *address) { AnnotateHappensAfter(__FILE__, __LINE__, address); }
void quiet_pause() { AnnotateIgnoreSyncEnd(__FILE__, __LINE__); }
void quiet_resume() { AnnotateIgnoreSyncBegin(__FILE__, __LINE__); }
#else
void quiet_pause() {}
void quiet_resume() {}
QuietSection::QuietSection() {}
QuietSection::~QuietSection() {}
void happens_before(const void *) {}
void happens_after(const void *) {}
#endif

}  // namespace detail

using namespace detail;

void reset(uint64_t start_ms) {
  acquire_thread_exits();
  WorldLock lock;
  journal_lines.clear();
  journal_limit = 0;
  violation_lines.clear();
  rules.clear();
  hooks.clear();
  uses.clear();
  handles.clear();
  handle_counters.clear();
  next_handle = 0x1000;
  reset_scheduler(start_ms);
  reset_service_side();
  reset_eventlog();
  reset_process();
  reset_driver();
  reset_scm_commands();
  reset_files();
  reset_messages();
  reset_console();
  reset_registry();
  reset_jobs();
  reset_security();
  reset_memory();
}

void fail(const std::string &call, int nth, DWORD error) {
  WorldLock lock;
  rules.push_back(Rule{call, nth, error});
}

void before(const std::string &call, int nth, std::function<void()> fn) {
  WorldLock lock;
  hooks.push_back(Hook{call, nth, std::move(fn)});
}

std::vector<std::string> journal() {
  WorldLock lock;
  return std::vector<std::string>(journal_lines.begin(), journal_lines.end());
}

void set_history_limit(size_t n) {
  WorldLock lock;
  journal_limit = n;
  while (n && journal_lines.size() > n) journal_lines.pop_front();
  set_request_history_limit(n);
}

std::vector<std::string> journal(const std::string &prefix) {
  WorldLock lock;
  std::vector<std::string> out;
  for (const auto &line : journal_lines)
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
  return out;
}

std::vector<std::string> violations() {
  WorldLock lock;
  return violation_lines;
}

int open_handles(const std::string &kind) {
  WorldLock lock;
  int n = 0;
  for (const auto &h : handles)
    if (h.second.open && h.second.kind == kind) n++;
  return n;
}

}  // namespace fake

namespace {
thread_local DWORD last_error = 0;
}

DWORD WINAPI GetLastError(void) { return last_error; }
void WINAPI SetLastError(DWORD error) { last_error = error; }
