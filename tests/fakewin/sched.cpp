// Threads, events, waits, locks and Sleep over virtual time.
//
// Every participant is either running or blocked. Time moves on only when
// none is running: straight to the earliest deadline of a blocked one. Any
// change that may satisfy a wait (an event set, a thread ended, a lock freed)
// wakes every blocked participant, and each checks its own condition again.
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
constexpr uint64_t kTimeLimit = 48ull * 3600 * 1000;

struct Participant {
  std::string name;
  unsigned generation;
  bool blocked = false;
  bool parked = false;
  bool exited = false;
  uint64_t deadline = kNoDeadline;
  const char *waiting_for = "";
  DWORD exit_code = 0;
};

struct EventObject {
  bool manual_reset;
  bool signalled;
};

// Never destroyed: parked threads wait on them until the process exits, and
// destroying a condition variable with waiters blocks for ever.
std::mutex &sched_mutex = *new std::mutex;
std::condition_variable_any &sched_cv = *new std::condition_variable_any;
unsigned generation = 0;
uint64_t clock_ms = 0;
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

[[noreturn]] void park_forever(std::unique_lock<std::mutex> &lock) {
  if (self) self->parked = true;
  publish_from_quiet(&exits_token);
  sched_cv.notify_all();
  for (;;) sched_cv.wait(lock);
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
    if (p->generation == generation && p->blocked && !p->parked) {
      p->blocked = false;
      running++;
    }
  sched_cv.notify_all();
}

// With nobody running, moves time to the earliest deadline and wakes those due.
void advance_locked() {
  if (running > 0 || process_ended) return;
  uint64_t earliest = kNoDeadline;
  for (const auto &p : participants)
    if (p->generation == generation && p->blocked && !p->parked && p->deadline < earliest)
      earliest = p->deadline;
  if (earliest == kNoDeadline) {
    bool anyone = false;
    for (const auto &p : participants)
      if (p->generation == generation && p->blocked && !p->parked) anyone = true;
    if (anyone) dump_and_abort("every thread is blocked with no deadline (a hang)");
    return;
  }
  if (earliest > kTimeLimit) dump_and_abort("virtual time ran past 48 hours");
  if (earliest > clock_ms) clock_ms = earliest;
  for (const auto &p : participants)
    if (p->generation == generation && p->blocked && !p->parked && p->deadline <= clock_ms) {
      p->blocked = false;
      running++;
    }
  sched_cv.notify_all();
}

// Blocks the calling participant until ready() (called with the lock held)
// returns true, or until the deadline passes. Returns false on timeout.
bool block_until(std::unique_lock<std::mutex> &lock, uint64_t deadline, const char *what,
                 const std::function<bool()> &ready) {
  if (stale_locked()) park_forever(lock);
  for (;;) {
    if (ready()) return true;
    if (deadline != kNoDeadline && clock_ms >= deadline) return false;
    self->blocked = true;
    self->deadline = deadline;
    self->waiting_for = what;
    running--;
    advance_locked();
    while (self->blocked) {
      sched_cv.wait(lock);
      if (stale_locked()) park_forever(lock);
    }
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
  if (self && self->generation == generation && !process_ended) return;
  if (!self) {
    fprintf(stderr, "fake: a platform call from a thread the fake does not know\n");
    abort();
  }
  park_forever(lock);
}

void acquire_thread_exits() { happens_after(&exits_token); }

void reset_scheduler() {
  SchedLock guard;
  generation++;
  clock_ms = 0;
  process_ended = false;
  events.clear();
  threads.clear();
  lock_owners.clear();
  exits.clear();
  thread_counter = 0;
  // Earlier worlds' threads are never woken again; each keeps its own record
  // alive through its thread-local pointer.
  participants.clear();
  self = std::make_shared<Participant>();
  self->name = "main";
  self->generation = generation;
  participants.push_back(self);
  running = 1;
  sched_cv.notify_all();
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
    sched_cv.notify_all();
    for (;;) {
      bool settled = true;
      for (const auto &p : participants)
        if (p->generation == generation && p != self && !p->exited && !p->parked) settled = false;
      if (settled) break;
      // Blocked threads park as soon as they see the notification.
      sched_cv.wait_for(lock, std::chrono::milliseconds(5));
      sched_cv.notify_all();
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
  if (kind != "event" && kind != "thread") {
    violation("WaitForSingleObject on %s, not an open event or thread", name.c_str());
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  bool signalled;
  {
    SchedLock guard;
    auto &lock = guard.lock;
    signalled = block_until(lock, deadline_after(milliseconds), "WaitForSingleObject", [&] {
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
  if (kind != "event" && kind != "thread") {
    violation("CloseHandle on %s, not an open event or thread", name.c_str());
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  close_handle(handle, kind.c_str());
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
