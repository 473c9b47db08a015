// qd4probe: the first thing to run on a server. Without arguments it loads
// the very vyrqd4w.dll the service would, the same way (qd4/system_folder.h):
// from the 32-bit service's system folder only (SysWOW64 on 64-bit Windows),
// never from its own folder or PATH; "--library PATH" loads that file
// instead, to probe a library before it is deployed. Unlike the service,
// which runs on without a missing entry and fails its calls, it stops at the
// first entry missing. It prints the full path of the file loaded,
// then says in words which transport the library will use, which of the
// service's health checks are set (when any is), what the BMC is
// (Get Device ID), what its watchdog timer is doing (Get Watchdog Timer) and
// what the SEL tells of the watchdog (its latest Watchdog 2, OS Stop and OS
// Boot records), or why it cannot tell. It never changes the timer or the
// SEL. Exit code 0 when the BMC answered the first two, 1 when not, 2 when
// the library or one of its entries is missing, 3 for arguments it does not
// know (it prints its usage and loads nothing).
//
// Test modes drive the entries against a BMC, printing one line per call:
//   <step> rc=<status> cc=<completion code> len=<reply length> data=<hex> ms=<time>
// Read-only: open (Open only), get (Open, Get Watchdog Timer, Close), drop
// (Open, Get, 1.5 s pause, Get, Close), time N (Open, then N Get Watchdog
// Timer requests, each timed: prints "time n=.. us=a,b,c.. failed=..").
// Those that send Set or Reset run only with --test and say so first: full
// (the watchdog sequence and the error paths), expire (a 0.5 s hard-reset
// timer left to run out, then Get: the BMC's reset command arrives first and
// must be skipped), reconnect (Open, Set enable, then a Get every 250 ms on
// the same session until one has failed and two have succeeded since, or 30 s
// have passed). Exit code 2 when the library or an entry is missing, 3 for a
// usage error, otherwise 0.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driverlib/settings.h"
#include "driverlib/settings_file.h"
#include "driverlib/tools/probe_text.h"
#include "health/settings.h"
#include "ipmi/ipmi.h"
#include "qd4/qd4_driver.h"
#include "qd4/system_folder.h"

namespace {

OpenQD4DriverFn g_open;
CloseQD4DriverFn g_close;
SendQD4RequestFn g_send;
GetQD4VersionFn g_version;

// A Set of the SMS/OS timer with a hard reset and no pre-timeout, clearing
// the SMS/OS flag; with don't-stop it runs, without it the Set stops it.
struct SetBytes {
  BYTE data[ipmi::kSetRequestLength];
};
SetBytes sms_os_set(bool dont_stop, uint16_t count) {
  SetBytes set;
  ipmi::build_set_watchdog(
      {ipmi::kUseSmsOs, dont_stop, false, ipmi::kActionHardReset, ipmi::kPretimeoutNone, 0,
       ipmi::expiration_flag(ipmi::kUseSmsOs), count},
      set.data);
  return set;
}
const SetBytes kEnable = sms_os_set(true, 3000);
const SetBytes kDisable = sms_os_set(false, 2560);

void request(const char* step, WatchdogSession session, BYTE command, const BYTE* data, WORD length,
             WORD buffer_size = 64) {
  BYTE buffer[64];
  std::memset(buffer, 0, sizeof(buffer));
  WORD reply_length = buffer_size;
  BYTE cc = 0xFF;
  DWORD start = GetTickCount();
  DWORD rc = g_send(session, ipmi::kAppLun0, command, data, length, ipmi::kBmcAddress, buffer,
                    &reply_length, &cc, 0);
  DWORD ms = GetTickCount() - start;
  std::printf("%s rc=%lu cc=%02x len=%u data=", step, static_cast<unsigned long>(rc), cc,
              static_cast<unsigned>(reply_length));
  for (WORD i = 0; rc == 0 && i < reply_length && i < sizeof(buffer); ++i) {
    std::printf("%02x", buffer[i]);
  }
  std::printf(" ms=%lu\n", static_cast<unsigned long>(ms));
  std::fflush(stdout);
}

bool open(WatchdogSession* session) {
  DWORD start = GetTickCount();
  DWORD rc = g_open(session, 0);
  std::printf("open rc=%lu session=%lu ms=%lu\n", static_cast<unsigned long>(rc),
              static_cast<unsigned long>(*session),
              static_cast<unsigned long>(GetTickCount() - start));
  std::fflush(stdout);
  return rc == 0;
}

void close(const char* step, WatchdogSession session) {
  DWORD rc = g_close(session, 0);
  std::printf("%s rc=%lu\n", step, static_cast<unsigned long>(rc));
  std::fflush(stdout);
}

void run_full() {
  DWORD version = 0;
  DWORD rc = g_version(&version);
  std::printf("version rc=%lu value=%08lx\n", static_cast<unsigned long>(rc),
              static_cast<unsigned long>(version));
  WatchdogSession session = 0;
  if (!open(&session)) return;
  request("get-initial", session, ipmi::kCmdGetWatchdog, nullptr, 0);
  request("reset-before-set", session, ipmi::kCmdResetWatchdog, nullptr, 0);
  request("set-enable", session, ipmi::kCmdSetWatchdog, kEnable.data, sizeof(kEnable.data));
  request("get-armed", session, ipmi::kCmdGetWatchdog, nullptr, 0);
  request("reset", session, ipmi::kCmdResetWatchdog, nullptr, 0);
  request("get-running", session, ipmi::kCmdGetWatchdog, nullptr, 0);
  request("get-small-buffer", session, ipmi::kCmdGetWatchdog, nullptr, 0, 2);
  request("set-disable", session, ipmi::kCmdSetWatchdog, kDisable.data, sizeof(kDisable.data));
  request("get-stopped", session, ipmi::kCmdGetWatchdog, nullptr, 0);
  request("bad-session", session + 1000, ipmi::kCmdGetWatchdog, nullptr, 0);
  close("close", session);
  close("close-again", session);
  request("after-close", session, ipmi::kCmdGetWatchdog, nullptr, 0);
}

void run_get(bool pause_between) {
  WatchdogSession session = 0;
  if (!open(&session)) return;
  request("get", session, ipmi::kCmdGetWatchdog, nullptr, 0);
  if (pause_between) {
    Sleep(1500);
    request("get-after-pause", session, ipmi::kCmdGetWatchdog, nullptr, 0);
  }
  close("close", session);
}

void run_expire() {
  const SetBytes kShort = sms_os_set(false, 5);
  WatchdogSession session = 0;
  if (!open(&session)) return;
  request("set-short", session, ipmi::kCmdSetWatchdog, kShort.data, sizeof(kShort.data));
  request("reset", session, ipmi::kCmdResetWatchdog, nullptr, 0);
  Sleep(1500);
  request("get-expired", session, ipmi::kCmdGetWatchdog, nullptr, 0);
  close("close", session);
}

// Rides through a BMC restart the script makes: Gets fail while it is away,
// then succeed again on the same handle.
void run_reconnect() {
  WatchdogSession session = 0;
  if (!open(&session)) return;
  request("set-enable", session, ipmi::kCmdSetWatchdog, kEnable.data, sizeof(kEnable.data));
  int failed = 0;
  int ok_after = 0;
  DWORD start = GetTickCount();
  for (int i = 0; ok_after < 2 && GetTickCount() - start < 30000; ++i) {
    BYTE buffer[64];
    WORD reply_length = sizeof(buffer);
    BYTE cc = 0xFF;
    DWORD t0 = GetTickCount();
    DWORD rc = g_send(session, ipmi::kAppLun0, ipmi::kCmdGetWatchdog, nullptr, 0, ipmi::kBmcAddress,
                      buffer, &reply_length, &cc, 0);
    std::printf("poll-%d session=%lu rc=%lu cc=%02x data=", i, static_cast<unsigned long>(session),
                static_cast<unsigned long>(rc), cc);
    for (WORD k = 0; rc == 0 && k < reply_length && k < sizeof(buffer); ++k)
      std::printf("%02x", buffer[k]);
    std::printf(" ms=%lu\n", static_cast<unsigned long>(GetTickCount() - t0));
    std::fflush(stdout);
    if (rc != 0) ++failed;
    if (rc == 0 && failed > 0) ++ok_after;
    Sleep(250);
  }
  close("close", session);
}

// Says which transport the library's settings file (or its absence) chooses.
void print_transport(HMODULE module) {
  char path[MAX_PATH];
  if (!qd4::settings_path(module, path, sizeof(path))) return;
  qd4::Settings settings;
  int bad_line = 0;
  switch (qd4::read_settings_file(path, &settings, &bad_line)) {
    case qd4::SettingsFile::kAbsent:
      std::printf("settings:  none (no %s)\n", path);
      break;
    case qd4::SettingsFile::kUnreadable:
      std::printf("settings:  %s cannot be opened or read\n", path);
      return;
    case qd4::SettingsFile::kRead:
      if (bad_line != 0) {
        std::printf("settings:  %s, line %d cannot be read\n", path, bad_line);
        return;
      }
      std::printf("settings:  %s\n", path);
      break;
  }
  if (settings.transport == qd4::TransportKind::kVm) {
    std::printf("transport: VM protocol to a simulator at %s:%u\n", settings.host,
                static_cast<unsigned>(settings.port));
  } else {
    std::printf(
        "transport: in-box, Windows' IPMI driver through WMI (root\\WMI, Microsoft_IPMI)\n");
  }
}

// One read-only request for the check; prints the reply in words, or why
// there is none.
bool check_request(WatchdogSession session, const char* what, BYTE command,
                   std::string (*describe)(const uint8_t*, size_t)) {
  BYTE buffer[64];
  std::memset(buffer, 0, sizeof(buffer));
  WORD reply_length = sizeof(buffer);
  BYTE cc = 0xFF;
  DWORD start = GetTickCount();
  DWORD rc = g_send(session, ipmi::kAppLun0, command, nullptr, 0, ipmi::kBmcAddress, buffer,
                    &reply_length, &cc, 0);
  DWORD ms = GetTickCount() - start;
  if (rc != 0) {
    std::printf("%s: FAILED, library status %lu: %s\n", what, static_cast<unsigned long>(rc),
                probe::status_text(rc).c_str());
    return false;
  }
  if (cc != 0) {
    std::printf("%s: FAILED, the BMC answered completion code %s\n", what,
                probe::completion_code_text(cc).c_str());
    return false;
  }
  std::printf("%s: answered in %lu ms\n%s", what, static_cast<unsigned long>(ms),
              describe(buffer, reply_length).c_str());
  return true;
}

// The SEL's watchdog story, read entry by entry; reads only.
std::string read_sel(WatchdogSession session) {
  probe::Request request = [session](uint8_t netfn, uint8_t command, const uint8_t* data, size_t n,
                                     std::vector<uint8_t>* reply, unsigned* cc_out,
                                     std::string* failure) {
    BYTE buffer[64];
    std::memset(buffer, 0, sizeof(buffer));
    WORD reply_length = sizeof(buffer);
    BYTE cc = 0xFF;
    DWORD rc = g_send(session, ipmi::netfn_lun(netfn, 0), command, data, static_cast<WORD>(n),
                      ipmi::kBmcAddress, buffer, &reply_length, &cc, 0);
    *cc_out = cc;
    if (rc != 0) {
      *failure = "library status " + std::to_string(rc) + ": " + probe::status_text(rc);
      return false;
    }
    if (cc != ipmi::kCcOk) {
      *failure = "the BMC answered completion code " + probe::completion_code_text(cc);
      return false;
    }
    reply->assign(buffer, buffer + (reply_length < sizeof(buffer) ? reply_length : sizeof(buffer)));
    return true;
  };
  // Every record a SEL can hold (16-bit IDs of 16-byte records in 64 KiB),
  // and five minutes: at the 50 ms a request may take on a real server, a
  // full SEL of 4096 records takes about 3.5 minutes.
  probe::SelBounds bounds = {4096, 300000, 20, 250};
  return probe::sel_report(
      request, bounds, [] { return static_cast<unsigned long>(GetTickCount()); },
      [](const std::string& line) {
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
      });
}

// The service's opt-in health checks as its next start will read them;
// nothing when none is set.
void print_health() {
  HealthSettings health;
  health_settings_read(&health);
  if (!health.any) return;
  for (int i = 0; i < health.mistake_count; ++i) {
    std::printf("health:    mistake: %s\n", health.mistake[i]);
  }
  if (!health_settings_in_force(health)) {
    std::printf("health:    no check in force\n");
    return;
  }
  char text[1536];
  health_settings_describe(health, text, sizeof(text));
  std::printf("health:    in force, %s\n", text);
}

int run_check(HMODULE module) {
  print_transport(module);
  print_health();
  DWORD version = 0;
  if (g_version(&version) == 0) {
    std::printf("version:   %lu.%lu\n", static_cast<unsigned long>(version >> 16),
                static_cast<unsigned long>(version & 0xFFFF));
  }
  WatchdogSession session = 0;
  DWORD start = GetTickCount();
  DWORD rc = g_open(&session, 0);
  if (rc != 0) {
    std::printf("OpenQD4Driver: FAILED, status %lu: %s\n", static_cast<unsigned long>(rc),
                probe::status_text(rc).c_str());
    std::printf("result: the service cannot reach the BMC\n");
    return 1;
  }
  std::printf("OpenQD4Driver: session opened in %lu ms\n",
              static_cast<unsigned long>(GetTickCount() - start));
  bool ok = check_request(session, "Get Device ID", ipmi::kCmdGetDeviceId, probe::device_id_text);
  ok = check_request(session, "Get Watchdog Timer", ipmi::kCmdGetWatchdog, probe::watchdog_text) &&
       ok;
  std::fputs(read_sel(session).c_str(), stdout);
  g_close(session, 0);
  std::printf("result: %s; the timer was not changed\n",
              ok ? "the BMC answered" : "the BMC did not answer every request");
  std::fflush(stdout);
  return ok ? 0 : 1;
}

// One request's cost through the library, for the benchmark.
void run_time(int count) {
  WatchdogSession session = 0;
  if (!open(&session)) return;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  int failed = 0;
  std::printf("time n=%d us=", count);
  for (int i = 0; i < count; ++i) {
    BYTE buffer[64];
    WORD reply_length = sizeof(buffer);
    BYTE cc = 0xFF;
    LARGE_INTEGER t0;
    LARGE_INTEGER t1;
    QueryPerformanceCounter(&t0);
    DWORD rc = g_send(session, ipmi::kAppLun0, ipmi::kCmdGetWatchdog, nullptr, 0, ipmi::kBmcAddress,
                      buffer, &reply_length, &cc, 0);
    QueryPerformanceCounter(&t1);
    if (rc != 0 || cc != 0) ++failed;
    long long us = (t1.QuadPart - t0.QuadPart) * 1000000 / frequency.QuadPart;
    std::printf("%s%lld", i == 0 ? "" : ",", us);
  }
  std::printf(" failed=%d\n", failed);
  close("close", session);
}

template <typename T>
bool resolve(HMODULE module, const char* name, T* out) {
  *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (*out == nullptr) std::printf("missing entry %s\n", name);
  return *out != nullptr;
}

struct Mode {
  const char* name;
  bool changes_timer;  // sends Set or Reset: only with --test
  bool takes_count;
};

const Mode kModes[] = {
    {"check", false, false}, {"open", false, false},     {"get", false, false},
    {"drop", false, false},  {"time", false, true},      {"full", true, false},
    {"expire", true, false}, {"reconnect", true, false},
};

int usage(const char* why) {
  std::printf(
      "qd4probe: %s\n"
      "usage: qd4probe               read the BMC's identity and watchdog timer; changes "
      "nothing\n"
      "       qd4probe --library PATH ...\n"
      "                              load that vyrqd4w.dll instead of the system folder's\n"
      "       qd4probe open | get | drop | time N\n"
      "                              read-only test modes (N requests: 1..100000)\n"
      "       qd4probe --test full | expire | reconnect\n"
      "                              test modes that change the BMC's watchdog timer (Set and "
      "Reset)\n",
      why);
  return 3;
}

// The library the service would load, or the one named; prints the full path
// of the file loaded, or which file could not be loaded and why.
HMODULE load_library(const char* named) {
  char path[MAX_PATH];
  if (named != nullptr) {
    DWORD length = GetFullPathNameA(named, sizeof(path), path, nullptr);
    if (length == 0 || length >= sizeof(path)) {
      std::printf(
          "cannot name %s: error %lu\n", named,
          static_cast<unsigned long>(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE));
      return nullptr;
    }
  } else if (!system_folder_file(QD4_LIBRARY_NAME, path, sizeof(path))) {
    std::printf("cannot name %s in the system folder: error %lu\n", QD4_LIBRARY_NAME,
                static_cast<unsigned long>(GetLastError()));
    return nullptr;
  }
  HMODULE module = load_library_file(path);
  if (module == nullptr) {
    std::printf("cannot load %s: error %lu%s\n", path, static_cast<unsigned long>(GetLastError()),
                named != nullptr ? ""
                                 : "; the service loads this file only: put the BMC maker's "
                                   "32-bit vyrqd4w.dll there, or probe one elsewhere with "
                                   "--library PATH");
    return nullptr;
  }
  DWORD n = GetModuleFileNameA(module, path, sizeof(path));
  if (n > 0 && n < sizeof(path)) std::printf("library:   %s\n", path);
  std::fflush(stdout);
  return module;
}

}  // namespace

int main(int argc, char** argv) {
  const Mode* mode = &kModes[0];
  bool mode_given = false;
  bool test = false;
  const char* library = nullptr;
  int count = 0;
  char why[160];
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const Mode* found = nullptr;
    for (const Mode& m : kModes) {
      if (std::strcmp(arg, m.name) == 0) found = &m;
    }
    if (std::strcmp(arg, "--test") == 0 && !test) {
      test = true;
    } else if (std::strcmp(arg, "--library") == 0 && library == nullptr) {
      if (i + 1 >= argc) return usage("--library needs the path of a vyrqd4w.dll");
      library = argv[++i];
    } else if (found != nullptr && !mode_given) {
      mode = found;
      mode_given = true;
      if (mode->takes_count) {
        char* end = nullptr;
        long n = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
        if (end == nullptr || end == argv[i + 1] || *end != '\0' || n < 1 || n > 100000) {
          return usage("time needs a number of requests, 1..100000");
        }
        count = static_cast<int>(n);
        ++i;
      }
    } else {
      std::snprintf(why, sizeof(why), "unknown argument '%s'", arg);
      return usage(why);
    }
  }
  if (mode->changes_timer && !test) {
    std::snprintf(why, sizeof(why), "'%s' changes the BMC's watchdog timer: give --test as well",
                  mode->name);
    return usage(why);
  }
  if (mode->changes_timer) {
    std::printf("qd4probe %s: test mode, this changes the BMC's watchdog timer (Set and Reset)\n",
                mode->name);
    std::fflush(stdout);
  }
  HMODULE module = load_library(library);
  if (module == nullptr) return 2;
  if (!resolve(module, QD4_OPEN_NAME, &g_open) || !resolve(module, QD4_CLOSE_NAME, &g_close) ||
      !resolve(module, QD4_SEND_NAME, &g_send) || !resolve(module, QD4_VERSION_NAME, &g_version)) {
    return 2;
  }
  int exit_code = 0;
  const char* name = mode->name;
  if (std::strcmp(name, "check") == 0) {
    exit_code = run_check(module);
  } else if (std::strcmp(name, "open") == 0) {
    WatchdogSession session = 0;
    if (open(&session)) close("close", session);
  } else if (std::strcmp(name, "get") == 0) {
    run_get(false);
  } else if (std::strcmp(name, "drop") == 0) {
    run_get(true);
  } else if (std::strcmp(name, "time") == 0) {
    run_time(count);
  } else if (std::strcmp(name, "expire") == 0) {
    run_expire();
  } else if (std::strcmp(name, "reconnect") == 0) {
    run_reconnect();
  } else {
    run_full();
  }
  FreeLibrary(module);
  return exit_code;
}
