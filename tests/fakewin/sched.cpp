// Threads, events, waits, locks and Sleep over virtual time.
//
// Every participant is either running or blocked. Time moves on only when
// none is running: straight to the earliest deadline of a blocked one. Any
// change that may satisfy a wait (an event set, a thread ended, a lock freed)
// wakes every blocked participant, and each checks its own condition again.
// Each participant waits on a condition variable of its own, so that a Sleep
// that time can simply move past wakes no other thread: a month of 100 ms
// ticks costs only the ticks.
#include <pthread.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"

namespace fake {
namespace detail {
namespace {

constexpr uint64_t kNoDeadline = UINT64_MAX;
constexpr uint64_t kDefaultTimeLimit = 48ull * 3600 * 1000;

struct Participant {
  std::string name;
  unsigned generation;
  bool blocked = false;
  bool parked = false;
  bool exited = false;
  bool frozen = false;
  uint64_t frozen_at = 0;
  uint64_t deadline = kNoDeadline;
  std::condition_variable cv;
  const char *waiting_for = "";
  DWORD exit_code = 0;
};

struct EventObject {
  bool manual_reset;
  bool signalled;
};

// Never destroyed: threads of an ended world may still be leaving, and
// destroying a mutex or condition variable in use blocks for ever.
std::mutex &sched_mutex = *new std::mutex;
// For end_process: a participant has parked.
std::condition_variable &sched_cv = *new std::condition_variable;
unsigned generation = 0;
uint64_t clock_ms = 0;
uint64_t time_limit = kDefaultTimeLimit;
int running = 0;
bool process_ended = false;
std::vector<std::shared_ptr<Participant>> participants;
std::map<HANDLE, EventObject> events;
std::map<HANDLE, std::shared_ptr<Participant>> threads;
std::map<const void *, Participant *> lock_owners;
std::vector<ThreadExit> exits;
int thread_counter = 0;

thread_local std::shared_ptr<Participant> self;

// The scheduler's lock, inside a QuietSection.
struct SchedLock {
  QuietSection quiet;
  std::unique_lock<std::mutex> lock{sched_mutex};
};

// Everything a participant did before it ended or parked happens before
// end_process, wait_for_threads and the next reset return.
char exits_token;

// happens_before from inside one QuietSection (a parking thread never leaves it).
void publish_from_quiet(const void *address) {
  quiet_pause();
  happens_before(address);
  quiet_resume();
}

}  // namespace
void park_if_ended();
namespace {

// A thread of an ended process stops here. Once a later reset has started a
// new world it ends for real, so that months of worlds do not pile up threads.
[[noreturn]] void park_forever(std::unique_lock<std::mutex> &lock) {
  if (!self) {
    for (;;) sched_cv.wait(lock);
  }
  self->parked = true;
  publish_from_quiet(&exits_token);
  sched_cv.notify_all();
  while (self->generation == generation) self->cv.wait(lock);
  lock.unlock();
  pthread_exit(nullptr);
}

bool eligible(const Participant &p) {
  return p.generation == generation && p.blocked && !p.parked && !p.frozen;
}

void wake_locked(Participant &p) {
  p.blocked = false;
  running++;
  p.cv.notify_one();
}

bool stale_locked() { return !self || self->generation != generation || process_ended; }

void dump_and_abort(const char *why) {
  fprintf(stderr, "fake: %s at virtual %llu ms\n", why, static_cast<unsigned long long>(clock_ms));
  for (const auto &p : participants)
    if (p->generation == generation && !p->exited)
      fprintf(stderr, "  %s: %s%s\n", p->name.c_str(), p->blocked ? "blocked on " : "running",
              p->blocked ? p->waiting_for : "");
  sched_mutex.unlock();
  auto lines = journal();
  size_t from = lines.size() > 40 ? lines.size() - 40 : 0;
  fprintf(stderr, "last journal lines:\n");
  for (size_t i = from; i < lines.size(); i++) fprintf(stderr, "  %s\n", lines[i].c_str());
  abort();
}

void wake_all_locked() {
  for (const auto &p : participants)
    if (eligible(*p)) wake_locked(*p);
}

// With nobody running, moves time to the earliest deadline and wakes those due.
void advance_locked() {
  if (running > 0 || process_ended) return;
  uint64_t earliest = kNoDeadline;
  bool anyone = false;
  for (const auto &p : participants)
    if (eligible(*p)) {
      anyone = true;
      if (p->deadline < earliest) earliest = p->deadline;
    }
  if (earliest == kNoDeadline) {
    if (anyone) dump_and_abort("every thread is blocked with no deadline (a hang)");
    return;
  }
  if (earliest > time_limit) dump_and_abort("virtual time ran past the world's time limit");
  if (earliest > clock_ms) clock_ms = earliest;
  // Those due wake one at a time, so that a tie always resolves alike: the
  // caller first (it goes on without a thread switch, as it did when all
  // woke at once), then the oldest participant. The next wakes when this
  // one blocks again.
  if (self && eligible(*self) && self->deadline <= clock_ms) {
    wake_locked(*self);
    return;
  }
  for (const auto &p : participants)
    if (eligible(*p) && p->deadline <= clock_ms) {
      wake_locked(*p);
      return;
    }
}

// Blocks the calling participant until ready() (called with the lock held)
// returns true, or until the deadline passes. Returns false on timeout.
bool block_until(std::unique_lock<std::mutex> &lock, uint64_t deadline, const char *what,
                 const std::function<bool()> &ready) {
  if (stale_locked()) park_forever(lock);
  for (;;) {
    if (!self->frozen) {
      if (ready()) return true;
      if (deadline != kNoDeadline && clock_ms >= deadline) return false;
    }
    self->blocked = true;
    self->deadline = deadline;
    self->waiting_for = what;
    running--;
    advance_locked();
    while (self->blocked) {
      self->cv.wait(lock);
      if (stale_locked()) park_forever(lock);
    }
    deadline = self->deadline;  // a thaw pushes it back
  }
}

uint64_t deadline_after(DWORD ms) { return ms == INFINITE ? kNoDeadline : clock_ms + ms; }

struct StartInfo {
  std::shared_ptr<Participant> participant;
  std::function<DWORD()> body;
  HANDLE handle;
};

void *trampoline(void *arg) {
  std::unique_ptr<StartInfo> info(static_cast<StartInfo *>(arg));
  self = info->participant;
  {
    // Wait for the creator to finish the bookkeeping of CreateThread.
    SchedLock guard;
    auto &lock = guard.lock;
    if (stale_locked()) park_forever(lock);
  }
  DWORD code = info->body();
  park_if_ended();
  if (info->handle) happens_before(info->handle);
  happens_before(&exits_token);
  log("%s exit=0x%x", self->name.c_str(), code);
  SchedLock guard;
  auto &lock = guard.lock;
  if (stale_locked()) park_forever(lock);
  self->exited = true;
  self->exit_code = code;
  exits.push_back(ThreadExit{self->name, code});
  running--;
  wake_all_locked();
  advance_locked();
  return nullptr;
}

// Starts a participant thread; the handle is registered as a thread handle
// when `handle` is not null.
std::shared_ptr<Participant> start_participant(const std::string &name, HANDLE handle,
                                               std::function<DWORD()> body) {
  auto p = std::make_shared<Participant>();
  p->name = name;
  {
    SchedLock guard;
    p->generation = generation;
    participants.push_back(p);
    running++;
    if (handle) threads[handle] = p;
  }
  auto *info = new StartInfo{p, std::move(body), handle};
  pthread_t tid;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (pthread_create(&tid, &attr, trampoline, info) != 0) {
    fprintf(stderr, "fake: pthread_create failed\n");
    abort();
  }
  pthread_attr_destroy(&attr);
  return p;
}

}  // namespace

void park_if_ended() {
  SchedLock guard;
  auto &lock = guard.lock;
  if (self && self->generation == generation && !process_ended) {
    if (self->frozen) block_until(lock, kNoDeadline, "frozen", [] { return true; });
    return;
  }
  if (!self) {
    fprintf(stderr, "fake: a platform call from a thread the fake does not know\n");
    abort();
  }
  park_forever(lock);
}

void acquire_thread_exits() { happens_after(&exits_token); }

void reset_scheduler(uint64_t start_ms) {
  SchedLock guard;
  generation++;
  clock_ms = start_ms;
  time_limit = start_ms + kDefaultTimeLimit;
  process_ended = false;
  events.clear();
  threads.clear();
  lock_owners.clear();
  exits.clear();
  thread_counter = 0;
  // Earlier worlds' threads end; each keeps its own record alive through its
  // thread-local pointer until then.
  for (const auto &p : participants) p->cv.notify_all();
  participants.clear();
  self = std::make_shared<Participant>();
  self->name = "main";
  self->generation = generation;
  participants.push_back(self);
  running = 1;
}

void block_for(uint64_t ms, const char *what) {
  SchedLock guard;
  uint64_t deadline = clock_ms + ms;
  block_until(guard.lock, deadline, what, [] { return false; });
}

// Used by the service side: a participant running body, named name.
void start_thread(const std::string &name, std::function<DWORD()> body) {
  start_participant(name, nullptr, std::move(body));
}

// Blocks the caller until ready() or the deadline; for the dispatcher loop.
bool wait_until(uint64_t deadline, const char *what, const std::function<bool()> &ready) {
  SchedLock guard;
  auto &lock = guard.lock;
  return block_until(lock, deadline, what, ready);
}

// Wakes every blocked participant so that each checks its condition again.
void notify_change() {
  SchedLock guard;
  wake_all_locked();
}

}  // namespace detail

using namespace detail;

uint64_t now() {
  SchedLock guard;
  return clock_ms;
}

void at(uint64_t at_ms, std::function<void()> fn) {
  start_participant("at" + std::to_string(at_ms), nullptr, [at_ms, fn]() -> DWORD {
    {
      SchedLock guard;
      auto &lock = guard.lock;
      block_until(lock, at_ms, "at()", [] { return false; });
    }
    fn();
    return 0;
  });
}

void end_process() {
  {
    SchedLock guard;
    auto &lock = guard.lock;
    if (!self || self->generation != generation) return;
    process_ended = true;
    for (;;) {
      bool settled = true;
      for (const auto &p : participants)
        if (p->generation == generation && p != self && !p->exited && !p->parked) {
          settled = false;
          // Blocked threads park as soon as they see the notification.
          p->cv.notify_all();
        }
      if (settled) break;
      sched_cv.wait_for(lock, std::chrono::milliseconds(5));
    }
  }
  happens_after(&exits_token);
}

void wait_for_threads() {
  {
    SchedLock guard;
    block_until(guard.lock, kNoDeadline, "wait_for_threads()", [] {
      for (const auto &p : participants)
        if (p->generation == generation && p != self && !p->exited && !p->parked) return false;
      return true;
    });
  }
  happens_after(&exits_token);
}

void set_time_limit(uint64_t at_ms) {
  SchedLock guard;
  time_limit = at_ms;
}

void freeze(const std::string &name) {
  SchedLock guard;
  for (const auto &p : participants)
    if (p->generation == generation && p != self && !p->exited && !p->frozen &&
        (name.empty() || p->name == name)) {
      p->frozen = true;
      p->frozen_at = clock_ms;
    }
}

void thaw(const std::string &name) {
  SchedLock guard;
  for (const auto &p : participants)
    if (p->generation == generation && p->frozen && (name.empty() || p->name == name)) {
      p->frozen = false;
      if (p->deadline != kNoDeadline) p->deadline += clock_ms - p->frozen_at;
      if (p->blocked && !p->parked) wake_locked(*p);
    }
}

std::vector<ThreadExit> thread_exits() {
  SchedLock guard;
  return exits;
}

}  // namespace fake

using namespace fake::detail;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                           LPCSTR name) {
  if (DWORD e = scripted_failure("CreateEventA")) {
    log("CreateEventA manual=%d initial=%d failed=%u", manual_reset, initial_state, e);
    SetLastError(e);
    return nullptr;
  }
  HANDLE h = new_handle("event");
  {
    SchedLock guard;
    events[h] = EventObject{manual_reset != 0, initial_state != 0};
  }
  log("CreateEventA manual=%d initial=%d security=%s name=%s -> %s", manual_reset, initial_state,
      attributes ? "given" : "null", name ? name : "null", handle_name(h).c_str());
  return h;
}

BOOL WINAPI SetEvent(HANDLE event) {
  if (DWORD e = scripted_failure("SetEvent")) {
    log("SetEvent %s failed=%u", handle_name(event).c_str(), e);
    SetLastError(e);
    return FALSE;
  }
  if (!handle_is(event, "event")) {
    violation("SetEvent on %s, not an open event", handle_name(event).c_str());
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  log("SetEvent %s", handle_name(event).c_str());
  happens_before(event);
  SchedLock guard;
  events[event].signalled = true;
  wake_all_locked();
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (DWORD e = scripted_failure("WaitForSingleObject")) {
    log("WaitForSingleObject %s failed=%u", handle_name(handle).c_str(), e);
    SetLastError(e);
    return WAIT_FAILED;
  }
  std::string kind = handle_kind(handle);
  std::string name = handle_name(handle);
  if (kind != "event" && kind != "thread" && kind != "process") {
    violation("WaitForSingleObject on %s, not an open event, thread or process", name.c_str());
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  // A process ends at a time known in advance, or earlier when ended.
  const std::atomic<uint64_t> *process_ends = kind == "process" ? process_end(handle) : nullptr;
  bool signalled;
  {
    SchedLock guard;
    auto &lock = guard.lock;
    uint64_t deadline = deadline_after(milliseconds);
    if (process_ends && process_ends->load() < deadline) deadline = process_ends->load();
    signalled = block_until(lock, deadline, "WaitForSingleObject", [&] {
      if (process_ends) return clock_ms >= process_ends->load();
      if (kind == "thread") return threads.count(handle) && threads[handle]->exited;
      auto it = events.find(handle);
      if (it == events.end() || !it->second.signalled) return false;
      if (!it->second.manual_reset) it->second.signalled = false;
      return true;
    });
  }
  if (signalled) happens_after(handle);
  DWORD result = signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  if (milliseconds == INFINITE)
    log("WaitForSingleObject %s INFINITE -> %u", name.c_str(), result);
  else
    log("WaitForSingleObject %s %u -> %u", name.c_str(), milliseconds, result);
  return result;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, size_t stack_size,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD thread_id) {
  if (DWORD e = scripted_failure("CreateThread")) {
    log("CreateThread failed=%u", e);
    SetLastError(e);
    return nullptr;
  }
  HANDLE h = new_handle("thread");
  std::string name = handle_name(h);
  log("CreateThread %s security=%s stack=%zu flags=0x%x", name.c_str(),
      attributes ? "given" : "null", stack_size, flags);
  if (thread_id) *thread_id = static_cast<DWORD>(reinterpret_cast<uintptr_t>(h));
  start_participant(name, h, [start, parameter] { return start(parameter); });
  return h;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  if (DWORD e = scripted_failure("CloseHandle")) {
    log("CloseHandle %s failed=%u", handle_name(handle).c_str(), e);
    SetLastError(e);
    return FALSE;
  }
  std::string kind = handle_kind(handle);
  std::string name = handle_name(handle);
  if (kind != "event" && kind != "thread" && kind != "file" && kind != "process" && kind != "job") {
    violation("CloseHandle on %s, not an open kernel object", name.c_str());
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  close_handle(handle, kind.c_str());
  if (kind == "file") close_file(handle);
  if (kind == "process" || kind == "job" || kind == "thread") close_job_object(handle, kind);
  log("CloseHandle %s", name.c_str());
  return TRUE;
}

void WINAPI Sleep(DWORD milliseconds) {
  scripted_failure("Sleep");
  log("Sleep %u", milliseconds);
  SchedLock guard;
  auto &lock = guard.lock;
  uint64_t deadline = clock_ms + milliseconds;
  block_until(lock, deadline, "Sleep", [] { return false; });
}

DWORD WINAPI GetTickCount(void) {
  SchedLock guard;
  return static_cast<DWORD>(clock_ms);
}

// 2026-12-01 00:00:00 UTC in 100 ns units since 1601, the world's start date.
static const uint64_t kWorldStartFileTime = 116444736000000000ull + 1796083200ull * 10000000ull;

void WINAPI GetSystemTimeAsFileTime(FILETIME *time) {
  uint64_t t = kWorldStartFileTime + static_cast<uint64_t>(fake::now()) * 10000u;
  time->dwLowDateTime = static_cast<DWORD>(t);
  time->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME *file_time, LPSYSTEMTIME st) {
  uint64_t t = (static_cast<uint64_t>(file_time->dwHighDateTime) << 32) | file_time->dwLowDateTime;
  if (t >> 63) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint64_t ms = t / 10000u;
  int64_t days = static_cast<int64_t>(ms / 86400000u) - 134774;  // since 1970-01-01
  uint64_t in_day = ms % 86400000u;
  // Days to a civil date (proleptic Gregorian).
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2);
  st->wYear = static_cast<WORD>(year);
  st->wMonth = static_cast<WORD>(month);
  st->wDay = static_cast<WORD>(day);
  st->wDayOfWeek = static_cast<WORD>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
  st->wHour = static_cast<WORD>(in_day / 3600000u);
  st->wMinute = static_cast<WORD>(in_day / 60000u % 60);
  st->wSecond = static_cast<WORD>(in_day / 1000u % 60);
  st->wMilliseconds = static_cast<WORD>(in_day % 1000u);
  return TRUE;
}

void WINAPI AcquireSRWLockExclusive(PSRWLOCK srw) {
  scripted_failure("AcquireSRWLockExclusive");
  {
    SchedLock guard;
    auto &lock = guard.lock;
    if (lock_owners.count(srw) && lock_owners[srw] == self.get()) {
      lock.unlock();
      violation("%s acquires an SRW lock it already holds", self->name.c_str());
      abort();
    }
    block_until(lock, kNoDeadline, "AcquireSRWLockExclusive", [&] {
      auto it = lock_owners.find(srw);
      if (it != lock_owners.end() && it->second) return false;
      lock_owners[srw] = self.get();
      return true;
    });
  }
  happens_after(srw);
}

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK srw) {
  happens_before(srw);
  SchedLock guard;
  auto &lock = guard.lock;
  auto it = lock_owners.find(srw);
  if (it == lock_owners.end() || it->second != self.get()) {
    lock.unlock();
    violation("%s releases an SRW lock it does not hold", self ? self->name.c_str() : "?");
    return;
  }
  it->second = nullptr;
  wake_all_locked();
}
