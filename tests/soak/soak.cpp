// A month in the life of a server, on virtual time. The real service (the
// front end's service path, service_main, the control handler, the worker)
// runs over the fake Windows against the fake BMC, through a seeded random
// schedule of BMC trouble and service life (crashes, reinstalls and planned
// reboots among it; the registry carries over as a machine's does), and
// these eight promises are checked on every event:
//   1. never a false reset: the timer runs out only over a hung service,
//      after the service logged an error saying that protection had ended,
//      or when a shutdown's allowance ran out over a slow boot;
//   2. never a missed reset: after a hang the timer runs out within the
//      timeout plus one reset period;
//   3. never a silent end of protection: when the service stops feeding an
//      armed timer while it runs, a warning or error entry says so;
//   4. an orderly stop or a suspend leaves the timer stopped, or logs an error
//      (and a stop reports a non-zero exit code); a preshutdown leaves it
//      armed with the shutdown allowance (no pre-timeout) and reports STOPPED
//      within 8 s, or logs an error;
//   5. after a resume or a BMC restart, the timer is armed again with the
//      installed count within one reset period of the BMC answering;
//   6. a start that finds the BIOS's OS Load watchdog, or the service's own
//      timer left by a crash or a shutdown, running is never refused when the
//      BMC answers its Get (its own timer's entry says why it still ran), and
//      the BIOS's timer never runs out;
//   7. every run-out is reported at the next start that arms the timer,
//      exactly once, with its cause: the allowance's as the allowance's, a
//      hang's as a hang (the BMC keeps its expiration flags until then);
//   8. no pre-timeout NMI without a hang or a logged end of protection, its
//      interval within the range the timeout allows, and after a hang the
//      NMI comes that interval before the run-out;
//   9. a health check that fails for its grace has the resets withheld (an
//      error says so) and the timer run out once, between the grace plus
//      the timeout less a reset period and the interval plus the grace plus
//      the timeout after it began failing; one that passes again sooner has
//      them resume with no run-out; after its reset it only reports (no
//      reset loop) until it has passed once.
// Some lives run with a pre-timeout (now and then one out of range), some
// on a BMC that refuses it; some with a health command that the schedule
// makes fail now and then.
// A violation prints the seed and the virtual time; the same seed replays it.
//
// Usage: soak [--days N] [--seed N] [--table FILE]; ASR_SOAK_DAYS and
// ASR_SOAK_SEED give the defaults (30 days, seed 1).
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cli/front_end.h"
#include "fake.h"
#include "health/settings.h"
#include "ipmi/ipmi.h"
#include "service/event_ids.h"
#include "tests/check/check.h"
#include "watchdog/pretimeout.h"
#include "watchdog/retry_policy.h"
#include "watchdog/shutdown.h"

void reset_system_state();

namespace {

constexpr uint64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute, kDay = 24 * kHour;
constexpr uint64_t kResetPeriod = 10100;  // 101 ticks of 100 ms
constexpr uint64_t kTick = 100;
constexpr uint64_t kSlowReplyMax = 2900;       // below the library's 3 s reply timeout
constexpr uint64_t kReplyTimeout = 3000;       // a dropped reply's wait
constexpr uint64_t kHoldBound = 60 * kSecond;  // the suspend hold without a resume notice
constexpr uint64_t kNever = UINT64_MAX;
constexpr uint64_t kShutdownBound = SHUTDOWN_BOUND_MS;  // a preshutdown to STOPPED
constexpr unsigned kCountsPerSecond = kSecond / ipmi::kMsPerCount;
constexpr WORD kError = 1, kWarning = 2;

FILE *out = stdout;
size_t tail_lines = 12;  // journal lines printed with a violation (ASR_SOAK_TAIL)  // the real
                         // standard output; the service's own goes to /dev/null

// ---- seeded randomness (the same on every machine) ---------------------------
struct Rng {
  uint64_t s;
  uint64_t next() {  // splitmix64
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t between(uint64_t lo, uint64_t hi) { return lo + next() % (hi - lo + 1); }
  bool chance(int percent) { return static_cast<int>(next() % 100) < percent; }
};

std::string clock_text(uint64_t ms) {
  char b[64];
  snprintf(b, sizeof b, "%llu ms (day %llu %02llu:%02llu:%02llu.%03llu)",
           static_cast<unsigned long long>(ms), static_cast<unsigned long long>(ms / kDay),
           static_cast<unsigned long long>(ms / kHour % 24),
           static_cast<unsigned long long>(ms / kMinute % 60),
           static_cast<unsigned long long>(ms / kSecond % 60),
           static_cast<unsigned long long>(ms % 1000));
  return b;
}

struct Logged {
  uint64_t at_ms;
  WORD type;
  std::string text;
};

// A promise and its checks; the first five violations are printed in full.
struct Invariant {
  const char *text;
  check::Report report{out, check::Report::Passes::kCounted, 5};
};

enum class Life { kNone, kRunning, kHung, kAsleep };
// Why the service's own timer may still run with no process to feed it.
enum class Left { kNone, kCrash, kShutdown };
using Registry = std::map<std::string, std::map<std::string, fake::RegistryValue>>;
constexpr int kInvariants = 9;
// The health command: a program whose exit code the schedule sets.
constexpr char kHealthProgram[] = "C:\\tools\\health.exe";
constexpr DWORD kHealthRunMs = 200;
// The monitor looks once a second; a run takes kHealthRunMs: a failure is
// seen within the interval and this much, and so is the pass that ends it.
constexpr uint64_t kHealthSlack = 4000;
// How a health failure ends: short, before the grace; medium, after the
// withholding but within the timeout; long, at the BMC's reset; persisting,
// on into the life after that reset.
enum class HealthFail { kNone, kShort, kMedium, kLong, kPersisting };

// The timer use whose run-out a start's warning reports, or 0.
int use_of_expiry_event(DWORD id) {
  switch (id) {
    case EVENT_EXPIRED_SMS_OS:
    case EVENT_EXPIRED_AFTER_SHUTDOWN:
    case EVENT_EXPIRED_WITHHELD_BY_HEALTH:
      return ipmi::kUseSmsOs;
    case EVENT_EXPIRED_BIOS_FRB2:
      return ipmi::kUseBiosFrb2;
    case EVENT_EXPIRED_BIOS_POST:
      return ipmi::kUseBiosPost;
    case EVENT_EXPIRED_OS_LOAD:
      return ipmi::kUseOsLoad;
    case EVENT_EXPIRED_OEM:
      return ipmi::kUseOem;
    default:
      return 0;
  }
}

class Soak {
 public:
  Soak(uint64_t seed, uint64_t span) : seed_(seed), span_(span), rng_{seed} {}
  int run();
  void write_table(const char *path, double wall_seconds);

 private:
  // the world of one service process
  void new_world();
  void start_life();
  void end_life();
  void collect();
  void on_life_end();
  void on_expiry(const fake::BmcExpiry &e);
  void on_pretimeout(const fake::BmcPretimeout &p);
  bool end_logged_since(uint64_t from) const {
    return logged_since(from, false, "reset failed") || logged_since(from, false, "disable failed");
  }
  void server_reset();
  void bios_arms_timer();
  void check_start_reports(bool ending);
  // time-bound checks
  void check_deadlines();
  uint64_t next_deadline();
  // the schedule
  void act();
  void add_fault(fake::BmcFault::Kind kind, uint64_t length, DWORD delay);
  uint64_t bmc_trouble();
  void suspend();
  void wake_up();
  void hang();
  void crash();
  void planned_reboot();
  void shutdown_allowance_setting();
  void health_setting();
  void health_failure(bool feeding);
  void health_failure_ends();
  void check_health_resumed();
  uint64_t health_run_out_by() const {
    return health_from_ + health_interval_ + health_grace_ + timeout_ * kSecond + kHealthSlack;
  }
  bool health_holds_schedule() const {
    return (health_fail_ != HealthFail::kNone && health_fail_ != HealthFail::kShort) ||
           health_resume_due_ != kNever;
  }
  bool wait_for_control(size_t results_before);
  // helpers
  bool healthy() const { return life_ == Life::kRunning && running_seen_ && !stopping_; }
  bool armed(const fake::Bmc &b) const {
    return b.watchdog.running() && b.watchdog.use() == ipmi::kUseSmsOs &&
           b.watchdog.initial_count() == timeout_ * kSecond / ipmi::kMsPerCount;
  }
  bool timer_running() const { return bmc_.watchdog.running(); }
  // When the running countdown runs out, and when it started from its count.
  uint64_t expires_at() const { return static_cast<uint64_t>(bmc_.watchdog.expires_at_ms()); }
  uint64_t started_at() const {
    return timer_running() ? expires_at() - bmc_.watchdog.initial_count() * ipmi::kMsPerCount : 0;
  }
  bool logged_since(uint64_t from, bool warnings_too, const char *text = nullptr) const;
  bool any_logged_since(uint64_t from, const char *text) const;
  // A start that could not take the timer because the BMC was in trouble,
  // and said so with an error.
  bool start_failed_in_trouble(uint64_t from) const;
  // When the first error entry with this text came at or after `from`; kNever if none.
  uint64_t first_logged_since(uint64_t from, const char *text) const;
  // Since when the timer has gone unfed as the service sees it: a dropped
  // reply restarts the BMC's countdown, yet the service's episode goes on.
  uint64_t unfed_since() const {
    return std::min(started_at(), std::max(last_accepted_.load(), life_started_));
  }
  bool fault_active(uint64_t at) const;
  uint64_t answering_from(uint64_t at) const;
  void check(int n, bool ok, const char *format, ...) __attribute__((format(printf, 4, 5)));
  void pass(int n) { check(n, true, "%s", ""); }
  void count(const std::string &kind) { events_[kind]++; }

  uint64_t seed_, span_;
  Rng rng_;
  Invariant inv_[kInvariants + 1] = {
      {""},
      {"1. never a false reset"},
      {"2. never a missed reset after a hang"},
      {"3. never a silent end of protection"},
      {"4. a stop or a suspend disarms, a preshutdown leaves the allowance in 8 s, or logs an "
       "error"},
      {"5. armed again after a resume or a BMC restart"},
      {"6. the BIOS's boot watchdog or its own timer taken over, never refused or run out"},
      {"7. every run-out reported at the next start, once, with its cause"},
      {"8. no NMI without a hang or a logged end; after a hang, its interval before the run-out"},
      {"9. a health check failing for its grace resets once, in time; a shorter failure never; "
       "no loop"}};
  std::map<std::string, long> events_;
  std::map<std::string, long> expiries_;
  std::map<std::string, long> pretimeouts_;
  std::vector<Logged> log_;             // every event-log entry of every life
  std::vector<fake::BmcFault> faults_;  // every spell of trouble, for the checks
  fake::Bmc bmc_;                       // carried from one world to the next
  Registry registry_;                   // so is the registry
  size_t expiries_seen_ = 0, pretimeouts_seen_ = 0;
  uint64_t nmi_at_ = kNever;  // the NMI of the countdown under way
  std::atomic<long> resets_sent_{0}, resets_accepted_{0}, requests_{0};
  std::atomic<uint64_t> last_accepted_{0};
  uint64_t wake_at_ = 0;

  // the current life
  Life life_ = Life::kNone;
  HANDLE ended_ = nullptr;
  WORD timeout_ = 255;
  bool running_seen_ = false, stopping_ = false;
  uint64_t life_started_ = 0, stop_sent_ = 0, hang_at_ = 0;
  uint64_t unfed_checked_ = kNever;  // the countdown start that 3 was last checked for
  size_t events_seen_ = 0;
  std::string hang_kind_;
  // pending obligations of invariant 5: from when the BMC answers, and a bound
  struct Rearm {
    uint64_t since, base, bound;
    const char *why;
    uint64_t not_before = 0;  // a suspend's hold still in force (its notice lost)
    uint64_t due(const Soak &s) const {
      return std::max(s.answering_from(base) + bound, not_before);
    }
  };
  std::vector<Rearm> rearms_;
  uint64_t next_action_ = 0;
  uint64_t boot_at_ = 0;           // when no life runs: the next start
  bool boot_after_reset_ = false;  // the next start is a boot after the BMC's reset
  // 6: this life began with the BIOS's timer running; the start's Get: 0 not
  // yet sent, 1 answered, 2 failed.
  bool bios_timer_ = false;
  std::atomic<int> first_get_{0};
  // 7: timer uses (bits) that ran out and are not reported yet; those found
  // at this life's start; whether its start has been checked.
  unsigned unreported_ = 0, unreported_at_start_ = 0;
  std::atomic<bool> first_reset_sent_{false};
  // 8: this life's pre-timeout argument (0: none) and the BMC's make.
  WORD pretimeout_ = 0;
  bool bmc_refuses_pretimeout_ = false;
  unsigned refusals_ = 0;
  std::atomic<int> start_enable_{0};
  bool start_checked_ = false;
  // 1, 6, 7: the service's own timer left running when its process ended,
  // why, and when that countdown runs out; what this life's start found.
  Left left_ = Left::kNone, own_at_start_ = Left::kNone;
  bool left_set_refused_ = false;  // the shutdown's Set that left the timer was refused
  uint64_t left_expires_at_ = kNever;
  bool slow_boot_ = false;
  bool same_arguments_ = false;        // a restart by Windows' recovery action
  bool unreported_allowance_ = false;  // the SMS/OS run-out to report was the allowance's
  // 4: the allowance this life's ShutdownAllowance gives, and whether the
  // start owes a warning for it.
  WORD allowance_ = SHUTDOWN_ALLOWANCE_DEFAULT_S;
  bool allowance_warning_ = false;
  std::vector<uint64_t> shutdown_ms_;  // each preshutdown to STOPPED
  // 9: the health command's setting (on in the registry, its interval and
  // grace) and the failure under way: since when, until when (kNever: until
  // the BMC's reset), and when a medium one's resume is to be checked.
  bool health_on_ = false;
  uint64_t health_interval_ = 0, health_grace_ = 0, health_delay_ = 0;
  HealthFail health_fail_ = HealthFail::kNone;
  uint64_t health_from_ = 0, health_until_ = kNever, health_ended_ = 0;
  uint64_t health_resume_due_ = kNever;
  bool unreported_health_ = false;  // the SMS/OS run-out to report was a health check's
};

void Soak::check(int n, bool ok, const char *format, ...) {
  check::Report &report = inv_[n].report;
  if (ok) {
    report.expect(inv_[n].text, true, "", "");
    return;
  }
  char detail[512];
  va_list args;
  va_start(args, format);
  vsnprintf(detail, sizeof detail, format, args);
  va_end(args);
  report.expect(check::text("invariant %s", inv_[n].text), false, "it holds", detail);
  if (!report.printing()) return;
  fprintf(out, "    at virtual %s, seed %llu (replay: soak --seed %llu --days %g)\n",
          clock_text(fake::now()).c_str(), static_cast<unsigned long long>(seed_),
          static_cast<unsigned long long>(seed_), static_cast<double>(span_) / kDay);
  for (size_t i = log_.size() > 3 ? log_.size() - 3 : 0; i < log_.size(); i++)
    fprintf(out, "    event at %s: %s%s\n", clock_text(log_[i].at_ms).c_str(),
            log_[i].type == kError     ? "error: "
            : log_[i].type == kWarning ? "warning: "
                                       : "",
            log_[i].text.c_str());
  auto lines = fake::journal();
  size_t tail = tail_lines;
  size_t from = lines.size() > tail ? lines.size() - tail : 0;
  for (size_t i = from; i < lines.size(); i++) fprintf(out, "    | %s\n", lines[i].c_str());
}

bool Soak::logged_since(uint64_t from, bool warnings_too, const char *text) const {
  for (auto it = log_.rbegin(); it != log_.rend() && it->at_ms >= from; ++it)
    if ((it->type == kError || (warnings_too && it->type == kWarning)) &&
        (!text || it->text.find(text) != std::string::npos))
      return true;
  return false;
}

bool Soak::any_logged_since(uint64_t from, const char *text) const {
  for (auto it = log_.rbegin(); it != log_.rend() && it->at_ms >= from; ++it)
    if (it->text.find(text) != std::string::npos) return true;
  return false;
}

bool Soak::start_failed_in_trouble(uint64_t from) const {
  for (auto it = log_.rbegin(); it != log_.rend() && it->at_ms >= from; ++it)
    if (it->type == kError &&
        (it->text.find("not available") != std::string::npos ||
         it->text.find("enable failed") != std::string::npos ||
         it->text.find("OpenQD4Driver") != std::string::npos) &&
        (fault_active(it->at_ms) || fault_active(it->at_ms - kReplyTimeout)))
      return true;
  return false;
}

uint64_t Soak::first_logged_since(uint64_t from, const char *text) const {
  uint64_t first = kNever;
  for (auto it = log_.rbegin(); it != log_.rend() && it->at_ms >= from; ++it)
    if (it->type == kError && it->text.find(text) != std::string::npos) first = it->at_ms;
  return first;
}

bool Soak::fault_active(uint64_t at) const {
  for (const auto &f : faults_)
    if (f.from_ms <= at && at < f.to_ms) return true;
  return false;
}

// The first moment from `at` on at which no spell of trouble is in force.
uint64_t Soak::answering_from(uint64_t at) const {
  for (bool moved = true; moved;) {
    moved = false;
    for (const auto &f : faults_)
      if (f.from_ms <= at && at < f.to_ms) {
        at = f.to_ms;
        moved = true;
      }
  }
  return at;
}

// ---- lives ----------------------------------------------------------------------

// A machine with no service process yet, at the present time, with the BMC
// as the last world left it.
void Soak::new_world() {
  fake::reset(fake::now());
  reset_system_state();
  fake::bmc() = bmc_;
  if (!registry_.empty()) fake::registry() = registry_;
  fake::set_history_limit(std::max<size_t>(40, tail_lines));
  fake::set_time_limit(kNever);
  fake::on_ipmi_request([this](const fake::IpmiRequest &r) {
    requests_++;
    if (r.command == ipmi::kCmdGetWatchdog && first_get_ == 0)
      first_get_ = r.status == 0 && r.completion_out == 0 ? 1 : 2;
    // 8: the start's enable, as the BMC took it (actions byte, interval).
    if (r.command == ipmi::kCmdSetWatchdog && !first_reset_sent_ && r.status == 0 &&
        r.completion_out == ipmi::kCcOk && r.data.size() == ipmi::kSetRequestLength &&
        (r.data[0] & ipmi::kDontStop))
      start_enable_ = r.data[1] << 8 | r.data[2];
    if (r.command != ipmi::kCmdResetWatchdog) return;
    first_reset_sent_ = true;
    resets_sent_++;
    if (r.status == 0 && r.completion_out == ipmi::kCcOk) {
      resets_accepted_++;
      last_accepted_ = r.at_ms;
    }
  });
}

void Soak::start_life() {
  uint64_t t = fake::now();
  ended_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // Windows' recovery action starts the service with its arguments as they were.
  bool same = same_arguments_;
  same_arguments_ = false;
  if (!same) timeout_ = static_cast<WORD>(rng_.between(250, 3200));
  HANDLE ended = ended_;
  WORD timeout = timeout_;
  // The pre-timeout in range mostly, now and then beyond it; the BMC's make
  // decides whether it takes one.
  WORD pretimeout = same ? pretimeout_ : 0;
  if (!same && rng_.chance(40)) {
    // The longest often: its NMI comes soonest after a ride-through gives up.
    WORD longest = pretimeout_max_seconds(timeout_);
    int pick = static_cast<int>(rng_.between(0, 99));
    pretimeout = static_cast<WORD>(pick < 30   ? longest
                                   : pick < 90 ? rng_.between(PRETIMEOUT_MIN_SECONDS, longest)
                                               : rng_.between(longest + 1, 400));
    count(pretimeout <= longest ? "starts with a pre-timeout" : "starts with one out of range");
  }
  pretimeout_ = pretimeout;
  if (!same) bmc_refuses_pretimeout_ = rng_.chance(25);
  // Each refusal BMCs give in turn, without a draw that would change the schedule.
  static const uint8_t kRefusals[] = {0xCC, 0xC9, 0xD6, 0xD5, 0xC1};
  fake::bmc().watchdog.refuse_pretimeout(bmc_refuses_pretimeout_,
                                         kRefusals[refusals_++ % sizeof kRefusals]);
  bmc_ = fake::bmc_copy();
  life_ = Life::kRunning;
  running_seen_ = stopping_ = false;
  life_started_ = t;
  events_seen_ = 0;
  rearms_.clear();
  count("service starts");
  bios_timer_ = false;
  first_get_ = 0;
  first_reset_sent_ = false;
  start_enable_ = 0;
  start_checked_ = false;
  unreported_at_start_ = unreported_;
  // Some BIOSes arm their "OS boot watchdog" before they hand over.
  if (boot_after_reset_ && !fault_active(t) && rng_.chance(35)) bios_arms_timer();
  boot_after_reset_ = false;
  own_at_start_ = left_ != Left::kNone && timer_running() && expires_at() == left_expires_at_
                      ? left_
                      : Left::kNone;
  shutdown_allowance_setting();
  health_setting();
  // Last: the process starts at once, alongside this thread, and the life's
  // records and the BIOS's timer must be in place before its first request.
  fake::at(t, [ended, timeout, pretimeout] {
    char program[] = "C:\\windows\\system32\\VYRIASRW.EXE";
    char argument[8], second[8];
    snprintf(argument, sizeof argument, "%u", timeout);
    snprintf(second, sizeof second, "%u", pretimeout);
    char *argv[] = {program, argument, second, nullptr};
    front_end(pretimeout ? 3 : 2, argv);
    SetEvent(ended);  // the process ends with its main thread
  });
}

void Soak::bios_arms_timer() {
  // OS Load, hard reset, 5 to 20 minutes, running as the BIOS hands over.
  fake::bmc().watchdog.start_running(ipmi::kUseOsLoad, ipmi::kActionHardReset,
                                     static_cast<uint16_t>(rng_.between(3000, 12000)),
                                     static_cast<int64_t>(fake::now()));
  bmc_ = fake::bmc_copy();
  bios_timer_ = true;
  count("boots with the BIOS's OS Load timer running");
}

// 6 and 7, once the start's arming is over (its first reset sent, or the
// life ended): the BIOS's timer was taken over when the Get was answered,
// and every run-out found was reported.
void Soak::check_start_reports(bool ending) {
  if (start_checked_ || life_ == Life::kNone || !(first_reset_sent_ || ending)) return;
  start_checked_ = true;
  if (bios_timer_ && first_get_ == 1)
    check(6, !logged_since(life_started_, false, "timer is not available"),
          "the boot at %s had the BIOS's OS Load timer running and the service refused it, "
          "though the BMC answered its Get",
          clock_text(life_started_).c_str());
  if (own_at_start_ != Left::kNone && first_get_ == 1) {
    const char *why =
        own_at_start_ == Left::kShutdown ? "left armed for a shutdown" : "ended without disarming";
    bool refused = logged_since(life_started_, false, "timer is not available");
    bool told = !first_reset_sent_ || any_logged_since(life_started_, why);
    check(6, !refused && told,
          "the start at %s found its own timer running (expected: taken back, the entry saying "
          "'%s'); got: %s",
          clock_text(life_started_).c_str(), why,
          refused ? "refused" : "taken back without that entry");
    count(own_at_start_ == Left::kShutdown ? "own timer taken back after a reboot"
                                           : "own timer taken back after a crash");
  }
  if (first_reset_sent_) {
    // 8: armed with the NMI only when asked for in range and taken; else
    // without it, with a warning saying why.
    bool in_range =
        pretimeout_ >= PRETIMEOUT_MIN_SECONDS && pretimeout_ <= pretimeout_max_seconds(timeout_);
    bool nmi = in_range && !bmc_refuses_pretimeout_;
    const char *why = !pretimeout_              ? nullptr
                      : !in_range               ? "running without the pre-timeout"
                      : bmc_refuses_pretimeout_ ? "refused the pre-timeout"
                                                : nullptr;
    int interrupt = start_enable_ >> 8 >> ipmi::kPretimeoutShift & 7;
    int seconds = start_enable_ & 0xFF;
    check(8,
          interrupt == (nmi ? ipmi::kPretimeoutNmi : 0) && seconds == (nmi ? pretimeout_ : 0) &&
              (!why || logged_since(life_started_, true, why)),
          "the start at %s with pre-timeout %u (BMC refusing it: %d) armed interrupt %d, %d s; "
          "warning '%s' logged: %d",
          clock_text(life_started_).c_str(), pretimeout_, bmc_refuses_pretimeout_, interrupt,
          seconds, why ? why : "-", why ? logged_since(life_started_, true, why) : 1);
  }
  if (first_reset_sent_)
    check(7, unreported_at_start_ == 0,
          "the start at %s armed the timer without reporting the run-outs of timer uses 0x%02x",
          clock_text(life_started_).c_str(), unreported_at_start_);
}

// Reads what the world did since the last look: event-log entries, the BMC.
void Soak::collect() {
  if (life_ != Life::kNone) {
    for (const fake::Event &e : fake::events(events_seen_)) {
      log_.push_back(Logged{e.at_ms, e.type, e.strings.size() == 2 ? e.strings[1] : "?"});
      events_seen_++;
      if (e.id == EVENT_PRETIMEOUT_REFUSED) count("pre-timeouts refused by the BMC (CCh)");
      if (int use = use_of_expiry_event(e.id)) {
        // 7: a run-out reported is one that happened and was not reported yet.
        check(7, (unreported_ >> use & 1) != 0,
              "the start at %s reported a run-out of timer use %d that %s",
              clock_text(life_started_).c_str(), use,
              (unreported_at_start_ >> use & 1) ? "it had reported already" : "never happened");
        if (use == ipmi::kUseSmsOs) {
          DWORD expected = unreported_allowance_ ? EVENT_EXPIRED_AFTER_SHUTDOWN
                           : unreported_health_  ? EVENT_EXPIRED_WITHHELD_BY_HEALTH
                                                 : EVENT_EXPIRED_SMS_OS;
          check(7, e.id == expected,
                "the start at %s reported the SMS/OS run-out as entry %u; expected %u (%s)",
                clock_text(life_started_).c_str(), e.id, expected,
                unreported_allowance_ ? "the shutdown's allowance ran out"
                : unreported_health_  ? "a health check withheld the resets"
                                      : "a hang");
          unreported_allowance_ = unreported_health_ = false;
        }
        unreported_ &= ~(1u << use);
        unreported_at_start_ &= ~(1u << use);
        count("run-outs reported at a start");
      }
    }
    if (!running_seen_)
      for (const SERVICE_STATUS &s : fake::status_reports())
        if (s.dwCurrentState == SERVICE_RUNNING) running_seen_ = true;
  }
  bmc_ = fake::bmc_copy();
}

// The service's process is gone: its threads never run again.
void Soak::end_life() {
  collect();
  fake::end_process();
  registry_ = fake::registry();
  life_ = Life::kNone;
  rearms_.clear();
  new_world();
}

void Soak::on_life_end() {
  std::vector<SERVICE_STATUS> reports = fake::status_reports();
  DWORD exit_code = reports.empty() ? 0 : reports.back().dwWin32ExitCode;
  if (stopping_) {
    // 4: an orderly stop leaves the timer stopped, or says it did not.
    check(4, !timer_running() || (logged_since(stop_sent_, false) && exit_code != 0),
          "the stop sent at %s left the timer running; error logged: %s, exit code 0x%x",
          clock_text(stop_sent_).c_str(), logged_since(stop_sent_, false) ? "yes" : "no",
          exit_code);
    count("orderly stops");
  } else {
    // 3: a service that ends on its own with the timer armed must say so.
    if (timer_running())
      check(3, logged_since(unfed_since(), true),
            "the service ended on its own (exit code 0x%x) with the timer running since %s, "
            "with no warning or error",
            exit_code, clock_text(started_at()).c_str());
    // 5: a restart or resume still owed a re-arm. Giving up is fair only
    // after half the timeout without an accepted reset (the last may have
    // come up to one reset period before the trouble), not counting a sleep.
    uint64_t since = std::max({last_accepted_.load(), wake_at_, life_started_});
    uint64_t unfed = fake::now() - since;
    // An exit the service had logged before the resume or restart (a sleep
    // may come while it is ending) owes no re-arm.
    uint64_t exiting = first_logged_since(life_started_, "exiting");
    for (const Rearm &r : rearms_)
      check(5, unfed + kResetPeriod + 3 * kTick >= timeout_ * kSecond / 2 || exiting <= r.since,
            "%s at %s: the service ended on its own %llu ms after its last accepted reset "
            "or wake-up, well before half the timeout (%u s), without arming the timer again",
            r.why, clock_text(r.since).c_str(), static_cast<unsigned long long>(unfed), timeout_);
    count("service ends on its own");
  }
  end_life();
  boot_at_ = fake::now() + rng_.between(kSecond, 30 * kMinute);  // started again by hand
}

void Soak::server_reset() {
  if (life_ != Life::kNone) end_life();
  boot_after_reset_ = true;
  count("server resets by the BMC");
  boot_at_ = fake::now() + rng_.between(30 * kSecond, 3 * kMinute);
}

// 8: every NMI is explained, and none comes before the ride-through has
// given up and disarmed the timer.
void Soak::on_pretimeout(const fake::BmcPretimeout &p) {
  WORD lead_s = bmc_.watchdog.pretimeout_seconds();
  WORD timeout_s = static_cast<WORD>(bmc_.watchdog.initial_count() / (kSecond / ipmi::kMsPerCount));
  uint64_t counting_since = p.at_ms + lead_s * kSecond - timeout_s * kSecond;
  // The NMI comes after a ride-through of failing resets would have given up
  // (its last retry included) and disarmed the timer.
  uint64_t unfed = (timeout_s - lead_s) * kSecond;
  check(8, unfed >= ride_through_limit_ms(timeout_s) + RESET_RETRY_TICKS * kTick,
        "an NMI %u s before a %u s timeout ran out: %llu ms unfed, before a ride-through gives up",
        lead_s, timeout_s, static_cast<unsigned long long>(unfed));
  std::string cause;
  if (life_ == Life::kHung && hang_at_ <= p.at_ms) {
    cause = "hang (" + hang_kind_ + ")";
  } else if (end_logged_since(counting_since) || start_failed_in_trouble(counting_since) ||
             logged_since(counting_since, false, "for the shutdown")) {
    // A shutdown whose Set the BMC refused leaves the timer with its
    // timeout and its pre-timeout, as its error says.
    cause = "after a logged end of protection";
  } else if (health_fail_ == HealthFail::kLong &&
             logged_since(health_from_, false, "withholds the timer's resets")) {
    cause = "a health check withheld the resets (logged)";
  } else {
    cause = "FALSE NMI";
    check(8, false, "an NMI at %s (counting since %s) with no hang and no error logged",
          clock_text(p.at_ms).c_str(), clock_text(counting_since).c_str());
  }
  nmi_at_ = p.at_ms;
  pretimeouts_[cause]++;
}

// 1 and 2: every run-out is explained.
void Soak::on_expiry(const fake::BmcExpiry &e) {
  uint64_t counting_since = e.at_ms - bmc_.watchdog.initial_count() * ipmi::kMsPerCount;
  std::string cause;
  bool health_caused = false;
  unsigned use = e.timer_use & ipmi::kUseMask;
  unreported_ |= 1u << use;
  if (use != ipmi::kUseSmsOs) {
    // 6: the BIOS's timer runs out only over a start whose Get went
    // unanswered, which refuses with an error.
    bool excused = first_get_ == 2 && logged_since(life_started_, false, "timer is not available");
    cause = excused ? "the BIOS's timer, the start's Get unanswered (logged)"
                    : "the BIOS's timer, NOT TAKEN OVER";
    check(6, excused, "the BIOS's timer (use %u) ran out at %s", use, clock_text(e.at_ms).c_str());
    pass(1);
  } else if (life_ == Life::kHung && hang_at_ <= e.at_ms) {
    cause = "hang (" + hang_kind_ + ")";
    check(2, e.at_ms <= hang_at_ + timeout_ * kSecond + kResetPeriod,
          "the timer ran out %llu ms after the hang; timeout %u s",
          static_cast<unsigned long long>(e.at_ms - hang_at_), timeout_);
    pass(1);
    if (bmc_.watchdog.pretimeout_interrupt() == ipmi::kPretimeoutNmi) {
      uint64_t lead = bmc_.watchdog.pretimeout_seconds() * kSecond;
      check(8, nmi_at_ != kNever && nmi_at_ + lead == e.at_ms,
            "after the hang the timer ran out at %s, its NMI due %llu ms before came %s",
            clock_text(e.at_ms).c_str(), static_cast<unsigned long long>(lead),
            nmi_at_ == kNever ? "never" : clock_text(nmi_at_).c_str());
    }
  } else if (health_fail_ == HealthFail::kLong && life_ == Life::kRunning) {
    // 9: the resets withheld for a check that failed for its grace; the last
    // one came up to a reset period before the withholding.
    uint64_t timeout = timeout_ * kSecond;
    uint64_t earliest = health_from_ + health_grace_ + timeout - kResetPeriod;
    uint64_t latest = health_from_ + health_interval_ + health_grace_ + timeout + kHealthSlack;
    bool told = logged_since(health_from_, false, "withholds the timer's resets");
    cause = "a health check failed for its grace (resets withheld, logged)";
    health_caused = true;
    check(9, told && earliest <= e.at_ms && e.at_ms <= latest,
          "the health command failing since %s (interval %llu s, grace %llu s, timeout %u s): "
          "the timer ran out at %s; expected between %s and %s, the withholding logged: %d",
          clock_text(health_from_).c_str(),
          static_cast<unsigned long long>(health_interval_ / kSecond),
          static_cast<unsigned long long>(health_grace_ / kSecond), timeout_,
          clock_text(e.at_ms).c_str(), clock_text(earliest).c_str(), clock_text(latest).c_str(),
          told);
    pass(1);
  } else if (health_fail_ == HealthFail::kMedium || health_fail_ == HealthFail::kPersisting) {
    cause = health_fail_ == HealthFail::kMedium ? "A HEALTH FAILURE SHORTER THAN THE TIMEOUT"
                                                : "A HEALTH CHECK'S RESET LOOP";
    check(9, false, "the timer ran out at %s with the health command failing since %s (%s)",
          clock_text(e.at_ms).c_str(), clock_text(health_from_).c_str(),
          health_fail_ == HealthFail::kMedium ? "to pass again well within the timeout"
                                              : "on from before the BMC's last reset");
  } else if (left_ == Left::kShutdown && e.at_ms == left_expires_at_ && left_set_refused_) {
    cause = "a shutdown's Set refused, logged";
    pass(1);
  } else if (left_ == Left::kShutdown && e.at_ms == left_expires_at_) {
    // The countdown a shutdown left: only a boot slower than the allowance
    // (or a start the BMC's trouble kept from taking it back) lets it run out.
    bool slow = life_ == Life::kNone && slow_boot_;
    bool excused = slow || start_failed_in_trouble(counting_since);
    cause = slow      ? "the shutdown allowance, over a slow boot"
            : excused ? "the shutdown allowance, the start in BMC trouble (logged)"
                      : "the shutdown allowance, OVER A QUICK BOOT";
    check(1, excused,
          "the timer left for a shutdown ran out at %s; expected: only over a boot slower than "
          "the allowance (%u s); got: %s",
          clock_text(e.at_ms).c_str(), bmc_.watchdog.initial_count() / kCountsPerSecond,
          life_ == Life::kNone ? "a run-out before a quick boot or after a start that ended"
                               : "a run-out under a running service");
  } else if (logged_since(counting_since, false, "reset failed")) {
    cause = "the BMC refused resets; the service logged its end";
    pass(1);
  } else if (logged_since(counting_since, false, "disable failed")) {
    cause = "a refused disable at a stop, logged";
    pass(1);
  } else if (logged_since(counting_since, false, "for the shutdown")) {
    cause = "a shutdown's Set refused, logged";
    pass(1);
  } else if (start_failed_in_trouble(counting_since)) {
    cause = std::string("a start in BMC trouble, logged") +
            (e.at_ms == left_expires_at_ ? ": the timer a crash left" : "");
    pass(1);
  } else {
    cause = "FALSE RESET";
    check(1, false, "the timer ran out at %s (counting since %s) with no hang and no error logged",
          clock_text(e.at_ms).c_str(), clock_text(counting_since).c_str());
  }
  // A shutdown whose Set the BMC refused left the timer with its timeout:
  // its run-out is the shutdown's too, never a hang.
  if (use == ipmi::kUseSmsOs) {
    unreported_allowance_ = left_ == Left::kShutdown && e.at_ms == left_expires_at_;
    unreported_health_ = health_caused;
  }
  expiries_[cause]++;
  nmi_at_ = kNever;
  server_reset();
  if (!health_caused) return;
  // The command fails on after the boot as often as not: only the guard
  // keeps that from another reset. Its end is set once the boot's timeout
  // is known.
  if (rng_.chance(50)) {
    health_fail_ = HealthFail::kPersisting;
    health_until_ = kNever;
    count("health failures: on after the reset (loop guard)");
  } else {
    health_failure_ends();
  }
}

// ---- time-bound checks --------------------------------------------------------------

uint64_t Soak::next_deadline() {
  uint64_t d = kNever;
  if (timer_running()) d = std::min(d, expires_at());
  if (healthy() && first_reset_sent_ && timer_running() && unfed_checked_ != started_at())
    d = std::min(d, started_at() + kResetPeriod + kReplyTimeout + 3 * kTick);
  for (const Rearm &r : rearms_) d = std::min(d, r.due(*this));
  if (life_ == Life::kHung) d = std::min(d, hang_at_ + timeout_ * kSecond + kResetPeriod + 1);
  if (health_fail_ == HealthFail::kLong) d = std::min(d, health_run_out_by() + 1);
  return d;
}

void Soak::check_deadlines() {
  uint64_t t = fake::now();
  // 3: a healthy service that has let an armed timer go unfed says so. A
  // start that finds its own timer rides its Get through the BMC's trouble
  // for half the timeout, while that timer counts on: 6 judges the start.
  if (healthy() && first_reset_sent_ && timer_running() && unfed_checked_ != started_at() &&
      t >= started_at() + kResetPeriod + kReplyTimeout + 3 * kTick) {
    unfed_checked_ = started_at();
    check(3, logged_since(unfed_since(), true),
          "no reset accepted since %s while the service runs, and no warning or error (the "
          "life started at %s, its first reset sent: %d, its own timer found: %d)",
          clock_text(started_at()).c_str(), clock_text(life_started_).c_str(),
          first_reset_sent_.load(), static_cast<int>(own_at_start_));
  }
  // 5: armed again with the installed count.
  for (size_t i = 0; i < rearms_.size();) {
    const Rearm &r = rearms_[i];
    if (!healthy()) {
      rearms_.erase(rearms_.begin() + static_cast<long>(i));
      continue;
    }
    bool done = armed(bmc_) && started_at() >= r.since;
    uint64_t due = r.due(*this);
    if (done || t >= due) {
      check(5, done, "%s at %s: the timer is not armed again by %s (running %d, use %u, count %u)",
            r.why, clock_text(r.since).c_str(), clock_text(due).c_str(), timer_running(),
            bmc_.watchdog.use(), bmc_.watchdog.initial_count());
      rearms_.erase(rearms_.begin() + static_cast<long>(i));
      continue;
    }
    i++;
  }
  // 2: a hang must end in a run-out.
  if (life_ == Life::kHung && t > hang_at_ + timeout_ * kSecond + kResetPeriod) {
    check(2, false, "hung (%s) since %s and the timer has not run out", hang_kind_.c_str(),
          clock_text(hang_at_).c_str());
    server_reset();  // as an operator would
  }
  // 9: a health check failing for its grace must end in a run-out.
  if (health_fail_ == HealthFail::kLong && t > health_run_out_by()) {
    check(9, false, "the health command has failed since %s and the timer has not run out",
          clock_text(health_from_).c_str());
    server_reset();
    health_failure_ends();
  }
}

// ---- the schedule ---------------------------------------------------------------------

void Soak::add_fault(fake::BmcFault::Kind kind, uint64_t length, DWORD delay) {
  fake::BmcFault f{};
  f.kind = kind;
  f.from_ms = fake::now();
  f.to_ms = f.from_ms + length;
  f.delay_ms = delay;
  fake::add_bmc_fault(f);
  bmc_ = fake::bmc_copy();
  faults_.push_back(f);
  if (faults_.size() > 64) faults_.erase(faults_.begin());
  if (kind == fake::BmcFault::kRestart && healthy()) {
    Rearm r{f.from_ms, f.to_ms, kResetPeriod + 3 * kTick, "BMC restart"};
    // With a resume notice lost, resets stay held until the hold's bound.
    for (const Rearm &held : rearms_)
      if (!strcmp(held.why, "lost resume notice")) r.not_before = held.due(*this);
    rearms_.push_back(r);
  }
}

// Starts a spell of trouble now; returns its length.
uint64_t Soak::bmc_trouble() {
  using K = fake::BmcFault;
  uint64_t half = timeout_ * kSecond / 2;
  int pick = static_cast<int>(rng_.between(0, 99));
  uint64_t length;
  if (pick < 40) {
    length = rng_.chance(80)   ? rng_.between(100, 5 * kSecond)
             : rng_.chance(85) ? rng_.between(5 * kSecond, 90 * kSecond)
                               : rng_.between(90 * kSecond, 400 * kSecond);
    add_fault(K::kBusy, length, 0);
    count("busy spells (C0h)");
  } else if (pick < 55) {
    length = rng_.between(10 * kSecond, 5 * kMinute);
    add_fault(K::kSlow, length, static_cast<DWORD>(rng_.between(100, kSlowReplyMax)));
    count("slow-reply spells");
  } else if (pick < 70) {
    length = rng_.between(kSecond, 60 * kSecond);
    add_fault(K::kDropped, length, 0);
    count("dropped-reply spells");
  } else if (pick < 93) {
    length = rng_.between(10 * kSecond, 180 * kSecond);
    add_fault(K::kRestart, length, rng_.chance(50) ? 0 : 2000);
    count("BMC restarts (10..180 s)");
  } else {
    bool lost = rng_.chance(50);
    length = rng_.between(half + kSecond, 3 * half);
    add_fault(lost ? K::kRestart : K::kUnreachable, length, 2000);
    count(lost ? "long outages, watchdog lost" : "long outages, watchdog counting");
  }
  return length;
}

// Waits (on virtual time) until the control handler has answered one more control.
bool Soak::wait_for_control(size_t results_before) {
  for (int i = 0; i < 3000; i++) {
    if (fake::control_results().size() > results_before) return true;
    if (WaitForSingleObject(ended_, 10) == WAIT_OBJECT_0) return false;
  }
  return false;
}

void Soak::suspend() {
  count("suspends");
  if (rng_.chance(50)) {
    size_t n = fake::control_results().size();
    fake::send_control(fake::now(), SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPEND);
    if (!wait_for_control(n)) return;
  }
  uint64_t sent = fake::now();
  size_t n = fake::control_results().size();
  fake::send_control(sent, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  if (!wait_for_control(n)) return;
  collect();
  // 4: the system sleeps with the timer stopped, or the service said otherwise.
  // An error since the timer was last fed counts too: a service already
  // ending, with its session withdrawn, has said so.
  check(4, !timer_running() || logged_since(std::min(sent, unfed_since()), false),
        "the suspend at %s left the timer running with no error logged", clock_text(sent).c_str());
  fake::freeze("");
  life_ = Life::kAsleep;
  uint64_t length =
      rng_.chance(85) ? rng_.between(kMinute, 30 * kMinute) : rng_.between(kHour, 8 * kHour);
  next_action_ = fake::now() + length;
}

void Soak::wake_up() {
  fake::thaw("");
  life_ = Life::kRunning;
  uint64_t t = fake::now();
  wake_at_ = t;
  bool trouble = rng_.chance(30);
  if (rng_.chance(85)) {
    static const DWORD kinds[] = {PBT_APMRESUMESUSPEND, PBT_APMRESUMEAUTOMATIC,
                                  PBT_APMRESUMECRITICAL};
    fake::send_control(t, SERVICE_CONTROL_POWEREVENT, kinds[rng_.between(0, 2)]);
    count("resume notices");
    rearms_.push_back(Rearm{t, t, kResetPeriod + kSlowReplyMax + 3 * kTick, "resume"});
  } else {
    count("resume notices lost");
    rearms_.push_back(
        Rearm{t, t + kHoldBound, kResetPeriod + kSlowReplyMax + 3 * kTick, "lost resume notice"});
  }
  // A BMC that is busy or restarting as the system wakes.
  if (trouble) bmc_trouble();
}

void Soak::hang() {
  bool whole = rng_.chance(50);
  hang_kind_ = whole ? "process frozen" : "worker frozen";
  fake::freeze(whole ? "" : "thread1");
  count(whole ? "hangs, whole process" : "hangs, worker only");
  life_ = Life::kHung;
  hang_at_ = fake::now();
  rearms_.clear();
}

// The service's process ends at once, as in a crash or a kill: the timer
// goes on counting. Windows' recovery action starts it again after 10 s, or
// after 60 s; now and then an administrator reinstalls it instead, which
// deletes the service's key and its Parameters (the record under SOFTWARE
// stays), and starts it.
void Soak::crash() {
  bool own = timer_running() && bmc_.watchdog.use() == ipmi::kUseSmsOs;
  count("crashes (the process ends, no stop)");
  end_life();
  left_ = own ? Left::kCrash : Left::kNone;
  left_expires_at_ = own ? expires_at() : kNever;
  slow_boot_ = false;
  uint64_t t = fake::now();
  if (rng_.chance(20)) {
    static const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\" SERVICE_NAME;
    Registry &keys = fake::registry();
    for (auto it = keys.begin(); it != keys.end();)
      if (!strncasecmp(it->first.c_str(), kServiceKey, strlen(kServiceKey)))
        it = keys.erase(it);
      else
        ++it;
    count("reinstalls after a crash");
    boot_at_ = t + rng_.between(20 * kSecond, 2 * kMinute);
    return;
  }
  same_arguments_ = true;
  bool late = rng_.chance(20);
  count(late ? "restarts 60 s after a crash" : "restarts 10 s after a crash");
  boot_at_ = t + (late ? 60 : 10) * kSecond;
}

// Now and then an administrator sets ShutdownAllowance (in range or not) or
// deletes it; the allowance this start should use follows from it.
void Soak::shutdown_allowance_setting() {
  int pick = static_cast<int>(rng_.between(0, 99));
  if (pick < 6) {
    DWORD v = pick < 4   ? static_cast<DWORD>(rng_.between(timeout_, 1800))
              : pick < 5 ? static_cast<DWORD>(rng_.between(1, timeout_ - 1u))
                         : static_cast<DWORD>(rng_.between(SHUTDOWN_ALLOWANCE_MAX_S + 1, 99999));
    fake::set_registry_dword(PARAMETERS_KEY, SHUTDOWN_ALLOWANCE_VALUE, v);
  }
  allowance_ = std::max<WORD>(timeout_, SHUTDOWN_ALLOWANCE_DEFAULT_S);
  allowance_warning_ = false;
  auto key = fake::registry().find(PARAMETERS_KEY);
  if (key == fake::registry().end()) return;
  if (pick >= 6 && pick < 10) key->second.erase(SHUTDOWN_ALLOWANCE_VALUE);
  auto value = key->second.find(SHUTDOWN_ALLOWANCE_VALUE);
  if (value == key->second.end()) return;
  DWORD v = 0;
  memcpy(&v, value->second.data.data(), sizeof v);
  if (v >= timeout_ && v <= SHUTDOWN_ALLOWANCE_MAX_S)
    allowance_ = static_cast<WORD>(v);
  else
    allowance_warning_ = true;
  count(allowance_warning_ ? "starts finding ShutdownAllowance out of range"
                           : "starts finding ShutdownAllowance set");
}

// Now and then an administrator turns the health command on, with a short
// interval and grace, or off again soon (its monitor's ticks and runs make a
// life several times dearer to simulate); a reinstall deletes it with the
// Parameters. The program fails while a failure is under way.
void Soak::health_setting() {
  static const HealthNumber kSet[] = {kInterval, kGrace, kStartDelay};
  Registry &keys = fake::registry();
  auto key = keys.find(PARAMETERS_KEY);
  bool on = key != keys.end() && key->second.count(HEALTH_COMMAND_VALUE);
  if (health_fail_ == HealthFail::kNone && rng_.chance(on ? 50 : 10)) {
    on = !on;
    if (on) {
      health_interval_ = rng_.between(20, 60) * kSecond;
      health_grace_ = health_interval_ + rng_.between(20, 240) * kSecond;
      health_delay_ = rng_.between(0, 120) * kSecond;
      const uint64_t values[] = {health_interval_, health_grace_, health_delay_};
      for (int i = 0; i < 3; i++)
        fake::set_registry_dword(PARAMETERS_KEY, kHealthNumberSettings[kSet[i]].value,
                                 static_cast<DWORD>(values[i] / kSecond));
      const BYTE *text = reinterpret_cast<const BYTE *>(kHealthProgram);
      keys[PARAMETERS_KEY][HEALTH_COMMAND_VALUE] =
          fake::RegistryValue{REG_SZ, std::vector<BYTE>(text, text + sizeof kHealthProgram)};
    } else {
      key->second.erase(HEALTH_COMMAND_VALUE);
      for (HealthNumber n : kSet) key->second.erase(kHealthNumberSettings[n].value);
    }
  }
  health_on_ = on;
  if (on) count("starts with the health command on");
  fake::add_program(kHealthProgram,
                    fake::Program{health_fail_ != HealthFail::kNone ? 1u : 0u, kHealthRunMs});
  // A failure on from before the BMC's reset: long enough for a second reset
  // to come, were it not for the guard.
  if (health_fail_ == HealthFail::kPersisting && health_until_ == kNever)
    health_until_ = fake::now() + health_delay_ + health_interval_ + health_grace_ +
                    timeout_ * kSecond + rng_.between(kMinute, 30 * kMinute);
}

// The health command starts failing: briefly, within the grace; for longer
// than the grace but well within the timeout; or until the BMC resets the
// server. Only a fed timer is left to run out.
void Soak::health_failure(bool feeding) {
  uint64_t t = fake::now();
  int pick = feeding ? static_cast<int>(rng_.between(0, 99)) : 0;
  health_from_ = t;
  if (pick < 50) {
    health_fail_ = HealthFail::kShort;
    health_until_ = t + rng_.between(kSecond, health_grace_ - health_interval_ - kHealthSlack);
    count("health failures: short (pass again within the grace)");
  } else if (pick < 75) {
    health_fail_ = HealthFail::kMedium;
    health_until_ = t + rng_.between(health_grace_ + health_interval_ + kHealthSlack,
                                     health_grace_ + timeout_ * kSecond / 2);
    count("health failures: past the grace, within the timeout");
  } else {
    health_fail_ = HealthFail::kLong;
    health_until_ = kNever;
    count("health failures: until the BMC's reset");
  }
  fake::add_program(kHealthProgram, fake::Program{1, kHealthRunMs});
}

void Soak::health_failure_ends() {
  uint64_t t = fake::now();
  if (health_fail_ == HealthFail::kMedium) health_resume_due_ = t + health_interval_ + kHealthSlack;
  // 9: the guard's warning, once the check had failed for its grace after
  // the start.
  if (health_fail_ == HealthFail::kPersisting && life_ == Life::kRunning &&
      t >= life_started_ + health_delay_ + health_interval_ + health_grace_ + kHealthSlack)
    check(9, logged_since(life_started_, true, "before the BMC's last reset"),
          "the health command that withheld the resets before the reset failed on from the "
          "start at %s, and no warning said that it only reports",
          clock_text(life_started_).c_str());
  health_fail_ = HealthFail::kNone;
  health_until_ = kNever;
  health_ended_ = t;
  fake::add_program(kHealthProgram, fake::Program{0, kHealthRunMs});
}

// 9: a failure past the grace and within the timeout: withheld, then the
// resets resume once the command passes again.
void Soak::check_health_resumed() {
  health_resume_due_ = kNever;
  if (life_ != Life::kRunning || stopping_) return;
  uint64_t passed = health_ended_;
  bool withheld = any_logged_since(health_from_, "withholds the timer's resets");
  bool resumed = any_logged_since(passed, "resets resume");
  check(9, withheld && resumed && last_accepted_ >= passed,
        "the health command failed past its grace and passed again at %s: withholding logged %d, "
        "resume logged %d, a reset accepted since %d",
        clock_text(passed).c_str(), withheld, resumed, last_accepted_ >= passed);
  count("health resumes");
}

// A planned reboot: the preshutdown control, then the process ends once
// STOPPED is reported, or 8 s after the control at most. The BMC stops the
// timer at a power-off and, on some makes, at a warm reset; others keep
// counting through POST and the boot, quick or slower than the allowance.
void Soak::planned_reboot() {
  uint64_t t = fake::now();
  size_t n = fake::control_results().size();
  // A service still starting (no reset sent yet) leaves the timer as it
  // found it: it has armed nothing to leave for the shutdown.
  bool starting = !first_reset_sent_;
  fake::send_control(t, SERVICE_CONTROL_PRESHUTDOWN, 0);
  count("planned reboots (preshutdown)");
  bool stopped = WaitForSingleObject(ended_, kShutdownBound) == WAIT_OBJECT_0;
  uint64_t took = fake::now() - t;
  collect();
  if (fake::control_results().size() > n) {
    // 4: left armed for the shutdown, or an error says why not.
    bool left = timer_running() && bmc_.watchdog.use() == ipmi::kUseSmsOs &&
                bmc_.watchdog.initial_count() == allowance_ * kCountsPerSecond &&
                bmc_.watchdog.pretimeout_interrupt() == 0 && started_at() >= t;
    bool refused = logged_since(t, false, "for the shutdown");
    check(4, stopped && (left || refused || starting),
          "the preshutdown at %s; expected: STOPPED within %llu ms, the timer left with %u s "
          "and no pre-timeout, or an error; got: %s after %llu ms, timer running %d with %u s, "
          "pre-timeout %u, error logged %d",
          clock_text(t).c_str(), static_cast<unsigned long long>(kShutdownBound), allowance_,
          stopped ? "STOPPED" : "no STOPPED", static_cast<unsigned long long>(took),
          timer_running(), bmc_.watchdog.initial_count() / kCountsPerSecond,
          bmc_.watchdog.pretimeout_interrupt(), refused);
    bool warned = logged_since(life_started_, true,
                               SHUTDOWN_ALLOWANCE_VALUE " under HKLM\\" PARAMETERS_KEY " is");
    check(4, warned == allowance_warning_,
          "the start at %s: ShutdownAllowance warning expected %d, got %d",
          clock_text(life_started_).c_str(), allowance_warning_, warned);
    if (stopped) shutdown_ms_.push_back(took);
    if (refused) count("preshutdowns whose Set the BMC refused (logged)");
  } else {
    count("preshutdowns held back (the service was not running)");
  }
  end_life();
  int pick = static_cast<int>(rng_.between(0, 99));
  if (pick < 55) {
    // A Set without the don't-stop bit: the timer stops, its settings kept.
    BYTE reply[ipmi::kGetReplyLength];
    fake::bmc().watchdog.get(static_cast<int64_t>(fake::now()), reply);
    BYTE set[ipmi::kSetRequestLength] = {static_cast<BYTE>(reply[ipmi::kGetUse] & ~ipmi::kDontStop),
                                         reply[ipmi::kGetActions],
                                         reply[ipmi::kGetPretimeout],
                                         0,
                                         reply[ipmi::kGetInitialCount],
                                         reply[ipmi::kGetInitialCount + 1]};
    fake::bmc().watchdog.set(set, sizeof set, static_cast<int64_t>(fake::now()));
    bmc_ = fake::bmc_copy();
  }
  count(pick < 10   ? "reboots: power-off (the timer stops)"
        : pick < 55 ? "reboots: warm, the BMC stops the timer"
                    : "reboots: warm, the BMC keeps counting");
  bool own = timer_running() && bmc_.watchdog.use() == ipmi::kUseSmsOs;
  // The record says "left for a shutdown" once the worker got to it, even when
  // the BMC refused the allowance's Set (the timer then runs on with its
  // timeout, and an error said so); a service still starting left the timer,
  // and its record, as it found them.
  left_set_refused_ = logged_since(t, false, "timer's setting for the shutdown");
  left_ = !own                           ? Left::kNone
          : !starting                    ? Left::kShutdown
          : own_at_start_ != Left::kNone ? own_at_start_
                                         : Left::kCrash;
  left_expires_at_ = own ? expires_at() : kNever;
  uint64_t allowance = allowance_ * kSecond;
  slow_boot_ = rng_.chance(30);
  count(slow_boot_ ? "reboots: slow boot (longer than the allowance)" : "reboots: quick boot");
  boot_at_ = fake::now() +
             (slow_boot_ ? allowance + rng_.between(10 * kSecond, 10 * kMinute)
                         : rng_.between(30 * kSecond, std::min(5 * kMinute, allowance - kMinute)));
  boot_after_reset_ = true;
}

void Soak::act() {
  uint64_t t = fake::now();
  if (life_ == Life::kNone) {
    start_life();
  } else if (life_ == Life::kAsleep) {
    wake_up();
  } else if (life_ == Life::kRunning && !stopping_ && health_holds_schedule()) {
    // A health failure past the grace waits for its end alone.
  } else if (life_ == Life::kRunning && !stopping_) {
    int pick = static_cast<int>(rng_.between(0, 99));
    bool feeding = healthy() && armed(bmc_) && !fault_active(t) && rearms_.empty();
    if (health_on_ && running_seen_ && health_fail_ == HealthFail::kNone && rng_.chance(20)) {
      health_failure(feeding);
    } else if (pick < 50) {
      uint64_t length = bmc_trouble();
      // Often the next step of service life comes during the trouble.
      if (rng_.chance(40))
        next_action_ = t + rng_.between(100, std::min<uint64_t>(length, 30 * kSecond));
    } else if (pick < 60) {
      fake::send_control(t, SERVICE_CONTROL_INTERROGATE, 0);
      count("interrogates");
    } else if (pick < 69) {
      if (running_seen_) {
        fake::send_control(t, SERVICE_CONTROL_STOP, 0);
        stopping_ = true;
        stop_sent_ = t;
        count("stops");
      }
    } else if (pick < 77) {
      if (running_seen_) suspend();
    } else if (pick < 82) {
      crash();
    } else if (pick < 88) {
      if (running_seen_) planned_reboot();
    } else if (feeding) {
      hang();
    }
  }
  // A hang waits for the BMC's run-out alone (see next_deadline).
  if (next_action_ <= t)
    next_action_ = life_ == Life::kHung ? kNever : t + rng_.between(30 * kSecond, 40 * kMinute);
}

int Soak::run() {
  fake::reset(0);
  bmc_ = fake::Bmc{};
  new_world();
  start_life();
  next_action_ = rng_.between(kMinute, 10 * kMinute);
  while (fake::now() < span_) {
    uint64_t t = fake::now();
    uint64_t wake = std::min({life_ == Life::kNone ? boot_at_ : next_action_, next_deadline(),
                              health_until_, health_resume_due_, span_});
    if (wake <= t) wake = t + 1;
    bool ended = false;
    if (life_ != Life::kNone) {
      ended = WaitForSingleObject(ended_, static_cast<DWORD>(std::min<uint64_t>(
                                              wake - t, 0x7fffffff))) == WAIT_OBJECT_0;
    } else {
      Sleep(static_cast<DWORD>(wake - t));
    }
    collect();
    check_start_reports(ended);
    // An NMI comes before its run-out.
    while (pretimeouts_seen_ < bmc_.pretimeouts.size())
      on_pretimeout(bmc_.pretimeouts[pretimeouts_seen_++]);
    while (expiries_seen_ < bmc_.expiries.size()) on_expiry(bmc_.expiries[expiries_seen_++]);
    if (ended && life_ != Life::kNone) on_life_end();
    if (fake::now() >= health_until_) health_failure_ends();
    if (fake::now() >= health_resume_due_) check_health_resumed();
    if (life_ == Life::kNone) {
      if (fake::now() >= boot_at_) {
        start_life();
        next_action_ = fake::now() + rng_.between(kMinute, 20 * kMinute);
      }
      continue;
    }
    check_deadlines();
    if (life_ != Life::kNone && fake::now() >= next_action_) act();
  }
  if (life_ != Life::kNone) end_life();
  int violations = 0;
  for (int i = 1; i <= kInvariants; i++) violations += inv_[i].report.failed();
  return violations == 0 ? 0 : 1;
}

void Soak::write_table(const char *path, double wall_seconds) {
  FILE *t = fopen(path, "w");
  if (!t) {
    fprintf(out, "FAIL cannot write %s\n", path);
    return;
  }
  fprintf(t, "# A month on virtual time (generated by the soak)\n\n");
  fprintf(t, "Seed %llu; %.1f days of virtual time in %.1f s of wall time.\n\n",
          static_cast<unsigned long long>(seed_), static_cast<double>(span_) / kDay, wall_seconds);
  fprintf(t, "## Events\n\n| event | count |\n|---|---|\n");
  for (const auto &e : events_) fprintf(t, "| %s | %ld |\n", e.first.c_str(), e.second);
  fprintf(t, "\n## The BMC\n\n| figure | count |\n|---|---|\n");
  fprintf(t, "| requests | %ld |\n| resets sent | %ld |\n| resets accepted | %ld |\n",
          requests_.load(), resets_sent_.load(), resets_accepted_.load());
  std::vector<uint64_t> ms = shutdown_ms_;
  std::sort(ms.begin(), ms.end());
  if (!ms.empty())
    fprintf(t, "| preshutdown to STOPPED, virtual ms: p50 / worst (%zu) | %llu / %llu |\n",
            ms.size(), static_cast<unsigned long long>(ms[(ms.size() - 1) / 2]),
            static_cast<unsigned long long>(ms.back()));
  fprintf(t, "\n## Expiries by cause\n\n| cause | count |\n|---|---|\n");
  if (expiries_.empty()) fprintf(t, "| none | 0 |\n");
  for (const auto &e : expiries_) fprintf(t, "| %s | %ld |\n", e.first.c_str(), e.second);
  fprintf(t, "\n## Pre-timeout interrupts (NMI) by cause\n\n| cause | count |\n|---|---|\n");
  if (pretimeouts_.empty()) fprintf(t, "| none | 0 |\n");
  for (const auto &e : pretimeouts_) fprintf(t, "| %s | %ld |\n", e.first.c_str(), e.second);
  fprintf(t, "\n## Invariants\n\n| invariant | checks | violations |\n|---|---|---|\n");
  for (int i = 1; i <= kInvariants; i++)
    fprintf(t, "| %s | %d | %d |\n", inv_[i].text,
            inv_[i].report.passed() + inv_[i].report.failed(), inv_[i].report.failed());
  fclose(t);
}

uint64_t number_from(const char *text, uint64_t fallback) {
  if (!text || !*text) return fallback;
  return strtoull(text, nullptr, 10);
}

}  // namespace

// Each start of the service is a process of its own, with new threads: with
// ASan's default quarantine (256 MB, and 1 MB per thread) a year's thousands of
// threads would hold gigabytes of freed memory. A smaller one still catches
// a use after free within the tens of megabytes freed since.
extern "C" const char *__asan_default_options() {
  return "quarantine_size_mb=16:thread_local_quarantine_size_kb=64";
}

int main(int argc, char **argv) {
  double days = static_cast<double>(number_from(getenv("ASR_SOAK_DAYS"), 30));
  uint64_t seed = number_from(getenv("ASR_SOAK_SEED"), 1);
  const char *table = "soak_table.md";
  tail_lines = number_from(getenv("ASR_SOAK_TAIL"), 12);
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--days")) days = atof(argv[i + 1]);
    if (!strcmp(argv[i], "--seed")) seed = strtoull(argv[i + 1], nullptr, 10);
    if (!strcmp(argv[i], "--table")) table = argv[i + 1];
  }
  // The service path prints its usage lines at every start: keep them out.
  int real = dup(1);
  out = fdopen(real, "w");
  setvbuf(out, nullptr, _IOLBF, 0);
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  close(null);

  auto started = std::chrono::steady_clock::now();
  Soak soak(seed, static_cast<uint64_t>(days * kDay));
  int result = soak.run();
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  soak.write_table(table, wall);
  fprintf(out, "%s soak: %g days of virtual time, seed %llu, %.1f s wall; table in %s\n",
          result == 0 ? "ok" : "FAIL", days, static_cast<unsigned long long>(seed), wall, table);
  fprintf(out, "%d passed, %d failed\n", result == 0 ? 1 : 0, result == 0 ? 0 : 1);
  fflush(out);
  _exit(result);  // threads of the last world are parked for good
}
