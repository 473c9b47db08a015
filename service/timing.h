// Every span of time the service, its installer and its package keep, in one
// place, each with why it is as long as it is.
#pragma once

// The worker's feed loop.
// The worker's tick: a stop is seen within one.
#define TICK_MS 100
// A reset at once, then one after every 101 ticks: about every 10.1 s, far
// inside the shortest timeout (250 s).
#define TICKS_PER_RESET 101
// A failed reset is tried again at most once a second: a busy BMC or one that
// is restarting answers again within seconds.
#define RESET_RETRY_TICKS 10

// Retry spacing and bounds of the retry policies (watchdog/retry_policy.h).
// A suspend's disable, and the one after a ride-through gave up, is tried
// 100 ms apart: the system is about to sleep, or half the timeout is gone.
#define QUICK_DISABLE_RETRY_MS 100
// The orderly stop's disable (and the start's Get and enable) ride through a
// busy spell of up to 10 s, 200 ms apart; the service manager is kept waiting.
#define STOP_DISABLE_RETRY_MS 200
#define STOP_DISABLE_LIMIT_MS 10000
// A preshutdown's Set and reset: tries 200 ms apart that start no later than
// 4 s after the control, so that a try with one library call of up to
// LIBRARY_CALL_ALLOWANCE_MS still ends within SHUTDOWN_BOUND_MS.
#define SHUTDOWN_RETRY_MS 200
#define SHUTDOWN_RETRY_LIMIT_MS 4000
// One call of our driver library: its reply timeout is 3 s.
#define LIBRARY_CALL_ALLOWANCE_MS 3000

// Status reports to the service manager.
// Wait hint of every START_PENDING report.
#define START_WAIT_HINT_MS 3000
// Wait hint of the STOP_PENDING reports while the run routine waits for a
// worker that still holds its session: one is sent every second.
#define STOP_WAIT_HINT_MS 2000
#define STOP_REPORT_EVERY_MS 1000

// The run routine's wait for the worker after a stop, polled every 100 ms.
// A worker without a session gets 2 s: it only has to see the stop.
#define WORKER_WAIT_MS 2000
#define WORKER_POLL_MS 100
// One that holds its session gets the stop's disable and two library calls,
// one in flight when the stop came and the disable's last.
#define STOP_WAIT_LIMIT_MS (STOP_DISABLE_LIMIT_MS + 2 * LIBRARY_CALL_ALLOWANCE_MS)
// A worker whose library could not be loaded (its error entry written at
// once) ends this much later, as the service's first design did: the service
// runs about 30 s, then stops.
#define LIBRARY_MISSING_DELAY_MS 30000

// Power events and the shutdown.
// The longest the control handler waits for a power event's step: Windows
// gives an application about 2 s to act on a suspend, and waits for a handler
// (30 s at most) before it sends other services their controls.
#define HANDLER_WAIT_MS 2000
// A suspend's hold on resets ends after 60 s of the worker's ticks with no
// resume notice: a sleeping system stops the ticks, so it runs out only when
// the system did not sleep or the notice was lost.
#define SUSPEND_HOLD_BOUND_MS 60000
// The preshutdown control to STOPPED, within Windows' preshutdown timeout
// (10 s from Windows 10 1703 and Server 2019 on, 180 s before).
#define SHUTDOWN_BOUND_MS 8000
// The wait hint of the preshutdown's STOP_PENDING report.
#define SHUTDOWN_WAIT_HINT_MS SHUTDOWN_BOUND_MS

// The opt-in health checks' monitor.
// The monitor looks at its checks once a second: a limit or the grace is
// judged within a second of its end.
#define MONITOR_TICK_MS 1000
// The monitor's thread waits on nothing but its stop: it ends within a tick.
#define MONITOR_STOP_WAIT_MS 2000
// A command's run bounds itself by its limit and ends its process tree; the
// monitor counts it as failing only if that call overruns by this much.
#define COMMAND_MARGIN_MS 5000
// The commit check reads one counter: longer than this, it is stuck.
#define COMMIT_LIMIT_MS 10000

// Removal, by -remove and by the package.
// The service disarms and stops within seconds (a busy BMC may hold its
// disable for up to 16 s); one still stopping after a minute is hung, and the
// removal goes ahead so that it (or the reinstallation it is part of) is not
// held up for ever. Its state is read once a second.
#define REMOVAL_STOP_WAIT_MS 60000
#define REMOVAL_STOP_POLL_MS 1000

// The recovery actions -install and the package register. After a crash (an
// end without a STOPPED report) the service manager restarts the service after
// 10 s, then after 60 s for the second and every later failure; the count
// starts again after a day without one.
#define RESTART_FIRST_DELAY_MS 10000
#define RESTART_LATER_DELAY_MS 60000
#define FAILURE_RESET_PERIOD_S 86400
