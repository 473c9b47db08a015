#include "service/stop.h"

#include "service/trace.h"

std::atomic<HANDLE> stop_event{nullptr};
std::atomic<LONG> stop_requested{0};
std::atomic<LONG> worker_finished{0};

// Held from reading stop_event to the end of its SetEvent, so that the run
// routine cannot close the event in between.
static SRWLOCK stop_event_lock = SRWLOCK_INIT;

void signal_stop(void) {
  trace("ServiceStop entry\n");
  AcquireSRWLockExclusive(&stop_event_lock);
  HANDLE event = stop_event;
  if (event) SetEvent(event);
  ReleaseSRWLockExclusive(&stop_event_lock);
}

void withdraw_stop_event(void) {
  AcquireSRWLockExclusive(&stop_event_lock);
  stop_event = NULL;
  ReleaseSRWLockExclusive(&stop_event_lock);
}
