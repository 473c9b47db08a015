// Dynamic loading, and the fake "vyrqd4w.dll" with the BMC watchdog behind it.
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "driverlib/settings.h"
#include "internal.h"
#include "ipmi/ipmi.h"
#include "qd4/qd4_driver.h"

namespace fake {
namespace detail {
namespace {

struct ScriptedReply {
  BYTE command;
  int nth;
  DWORD status;
  BYTE cc;
};

Bmc model;
HMODULE module = nullptr;
int refcount = 0;
std::set<DWORD> sessions;
DWORD next_session = 0x5e55;
std::vector<IpmiRequest> requests;
std::vector<ScriptedReply> replies;
std::map<BYTE, WORD> reply_limits;

struct Outage {
  uint64_t from_ms, to_ms;
  DWORD status;
  BYTE cc;
  bool forget;
  bool forgotten;
};
std::vector<Outage> outages;

// The outage in force now, if any; one that ended with a restart makes the
// model forget its watchdog settings once.
const Outage *current_outage() {
  uint64_t t = now();
  const Outage *in_force = nullptr;
  for (auto &o : outages) {
    if (t >= o.to_ms && o.forget && !o.forgotten) {
      o.forgotten = true;
      model.watchdog.lose_settings();
      log("BMC restarted at %llu ms: watchdog settings lost", static_cast<unsigned long long>(t));
    }
    if (t >= o.from_ms && t < o.to_ms) in_force = &o;
  }
  return in_force;
}
std::map<BYTE, int> command_uses;

std::function<void(const IpmiRequest &)> observer;
size_t history_limit = 0;

// A dropped reply costs the stand-in library's default reply timeout.
const DWORD kReplyTimeoutMs = qd4::Settings().reply_timeout_ms;

// The timer's pre-timeout interrupts and run-outs up to virtual time t, each
// at the moment it fell due. An interrupt is only recorded: the fake system
// goes on as if it had no handler for it.
void expire_until(uint64_t t) {
  bmcsim::WatchdogEvent events[2];
  for (int64_t due; (due = model.watchdog.next_due_ms()) >= 0 && static_cast<uint64_t>(due) <= t;) {
    uint64_t at = static_cast<uint64_t>(due);
    for (int i = 0, n = model.watchdog.poll(due, events, 2); i < n; i++)
      if (events[i].kind == bmcsim::WatchdogEvent::kExpiry) {
        model.expiries.push_back(BmcExpiry{at, events[i].use, events[i].action});
        log("BMC watchdog expired at %llu ms", static_cast<unsigned long long>(at));
      } else {
        model.pretimeouts.push_back(BmcPretimeout{at, events[i].use, events[i].pretimeout});
        log("BMC watchdog pre-timeout interrupt at %llu ms", static_cast<unsigned long long>(at));
      }
  }
}

// Brings the model to the present: run-outs and restarts in time order; then
// drops the spells that are over. A restarting BMC forgets the watchdog:
// stopped, and unset until the next Set; it keeps the expiration flags.
void advance_model() {
  uint64_t t = now();
  for (;;) {
    BmcFault *restart = nullptr;
    for (BmcFault &f : model.faults)
      if (f.kind == BmcFault::kRestart && !f.begun && f.from_ms <= t &&
          (!restart || f.from_ms < restart->from_ms))
        restart = &f;
    if (!restart) break;
    // A run-out due at the moment of the restart is lost with it.
    if (restart->from_ms > 0) expire_until(restart->from_ms - 1);
    restart->begun = true;
    model.watchdog.lose_settings();
    log("BMC restarts at %llu ms; watchdog lost",
        static_cast<unsigned long long>(restart->from_ms));
  }
  expire_until(t);
  auto &f = model.faults;
  for (size_t i = 0; i < f.size();)
    if (f[i].to_ms <= t && (f[i].kind != BmcFault::kRestart || f[i].begun))
      f.erase(f.begin() + static_cast<long>(i));
    else
      i++;
}

// The spell in force now, the worst kind first.
BmcFault *active_fault() {
  uint64_t t = now();
  BmcFault *found = nullptr;
  for (BmcFault &f : model.faults)
    if (f.from_ms <= t && t < f.to_ms) {
      auto rank = [](BmcFault::Kind k) {
        return k == BmcFault::kRestart || k == BmcFault::kUnreachable ? 3
               : k == BmcFault::kBusy                                 ? 2
               : k == BmcFault::kDropped                              ? 1
                                                                      : 0;
      };
      if (!found || rank(f.kind) > rank(found->kind)) found = &f;
    }
  return found;
}

std::string hex(const BYTE *data, WORD length) {
  if (!data) return "null";
  std::string out;
  char b[4];
  for (WORD i = 0; i < length; i++) {
    snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
    out += b;
  }
  return out;
}

// Carries out one watchdog request on the model; returns the completion code.
BYTE carry_out(BYTE command, const BYTE *data, WORD length, std::vector<BYTE> &reply) {
  int64_t t = static_cast<int64_t>(now());
  switch (command) {
    case ipmi::kCmdSetWatchdog:
      return model.watchdog.set(data, data ? length : 0, t);
    case ipmi::kCmdResetWatchdog:
      return model.watchdog.reset(t);
    case ipmi::kCmdGetWatchdog:
      reply.resize(ipmi::kGetReplyLength);
      model.watchdog.get(t, reply.data());
      return ipmi::kCcOk;
    default:
      return ipmi::kCcInvalidCommand;
  }
}

DWORD WINAPI open_driver(WatchdogSession *session, DWORD reserved) {
  if (DWORD e = scripted_failure("OpenQD4Driver")) {
    log("OpenQD4Driver -> %u (scripted)", e);
    return e;
  }
  WorldLock lock;
  if (reserved != 0) violation("OpenQD4Driver with a non-zero last argument");
  if (model.open_status) {
    SetLastError(model.open_status);
    log("OpenQD4Driver -> %u", model.open_status);
    return model.open_status;
  }
  DWORD s = next_session++;
  sessions.insert(s);
  *session = s;
  log("OpenQD4Driver -> 0 session=0x%x", s);
  return 0;
}

DWORD WINAPI close_driver(WatchdogSession session, DWORD reserved) {
  if (DWORD e = scripted_failure("CloseQD4Driver")) {
    log("CloseQD4Driver 0x%x -> %u (scripted)", session, e);
    return e;
  }
  WorldLock lock;
  if (reserved != 0) violation("CloseQD4Driver with a non-zero last argument");
  if (!sessions.erase(session)) {
    violation("CloseQD4Driver on session 0x%x, which is not open", session);
    return 1;
  }
  log("CloseQD4Driver 0x%x -> %u", session, model.close_status);
  return model.close_status;
}

DWORD WINAPI send_request(WatchdogSession session, BYTE netfn_lun, BYTE command,
                          const BYTE *request_data, WORD request_length, BYTE responder,
                          BYTE *response_buffer, WORD *response_length, BYTE *completion_code,
                          DWORD reserved) {
  DWORD scripted = scripted_failure("SendQD4Request");
  IpmiRequest r{};
  DWORD wait_ms = 0;
  {
    WorldLock lock;
    r.session = session;
    r.netfn_lun = netfn_lun;
    r.command = command;
    r.responder = responder;
    r.data_null = request_data == nullptr;
    if (request_data)
      r.data.assign(request_data, request_data + request_length);
    else if (request_length)
      violation("SendQD4Request with a null pointer and length %u", request_length);
    r.buffer_zeroed = true;
    for (int i = 0; i < 64; i++)
      if (response_buffer[i]) r.buffer_zeroed = false;
    r.response_length_in = *response_length;
    r.completion_in = *completion_code;
    r.reserved = reserved;
    r.at_ms = now();
    if (!sessions.count(session)) violation("SendQD4Request on session 0x%x, not open", session);
    int use = ++command_uses[command];
    advance_model();

    DWORD status = 0;
    bool done = false;
    if (scripted) {
      status = scripted;
      done = true;
    }
    for (const auto &s : replies)
      if (!done && s.command == command && (s.nth == 0 || s.nth == use)) {
        status = s.status;
        *completion_code = s.cc;
        done = true;
      }
    // A scripted outage: every request fails alike (no reply, or one code).
    if (const Outage *o = done ? nullptr : current_outage()) {
      status = o->status;
      *completion_code = o->cc;
      done = true;
    }
    BmcFault *fault = done ? nullptr : active_fault();
    if (fault) {
      fault->requests++;
      switch (fault->kind) {
        case BmcFault::kRestart:
        case BmcFault::kUnreachable:
          // The first call finds its connection gone; later ones fail to connect.
          status = fault->requests == 1 ? qd4::kConnectionLost : qd4::kConnectFailed;
          wait_ms = fault->requests == 1 ? 0 : fault->delay_ms;
          done = true;
          break;
        case BmcFault::kBusy:
          *completion_code = ipmi::kCcNodeBusy;
          done = true;
          break;
        case BmcFault::kDropped:
        case BmcFault::kSlow:
          break;
      }
    }
    if (done) *response_length = 0;
    if (!done) {
      std::vector<BYTE> reply;
      BYTE cc = carry_out(command, request_data, request_length, reply);
      r.carried_out = true;
      if (fault && fault->kind == BmcFault::kDropped) {
        status = qd4::kReplyTimeout;
        wait_ms = kReplyTimeoutMs;
        *response_length = 0;
      } else {
        *completion_code = cc;
        WORD n =
            static_cast<WORD>(reply.size() < *response_length ? reply.size() : *response_length);
        auto limit = reply_limits.find(command);
        if (limit != reply_limits.end() && limit->second < n) n = limit->second;
        if (n) memcpy(response_buffer, reply.data(), n);
        *response_length = n;
        if (fault) wait_ms = fault->delay_ms;
      }
    }
    r.status = status;
    r.completion_out = *completion_code;
    r.waited_ms = wait_ms;
  }
  if (wait_ms) block_for(wait_ms, "SendQD4Request");
  std::function<void(const IpmiRequest &)> tell;
  {
    WorldLock lock;
    requests.push_back(r);
    if (history_limit && requests.size() > 2 * history_limit)
      requests.erase(requests.begin(), requests.end() - static_cast<long>(history_limit));
    if (wait_ms)
      log("SendQD4Request cmd=0x%x data=%s -> status=%u cc=0x%x after %u ms", command,
          hex(request_data, request_length).c_str(), r.status, r.completion_out, wait_ms);
    else
      log("SendQD4Request cmd=0x%x data=%s -> status=%u cc=0x%x", command,
          hex(request_data, request_length).c_str(), r.status, r.completion_out);
    tell = observer;
  }
  if (tell) tell(r);
  return r.status;
}

DWORD WINAPI get_version(DWORD *version) {
  violation("GetQD4Version called");
  if (version) *version = 0x0105;
  return 0;
}

}  // namespace

void reset_driver() {
  model = Bmc{};
  module = nullptr;
  refcount = 0;
  sessions.clear();
  next_session = 0x5e55;
  requests.clear();
  replies.clear();
  reply_limits.clear();
  outages.clear();
  command_uses.clear();
  observer = nullptr;
  history_limit = 0;
}

void set_request_history_limit(size_t n) { history_limit = n; }

}  // namespace detail

using namespace detail;

Bmc &bmc() {
  WorldLock lock;
  advance_model();
  current_outage();
  return model;
}

void add_bmc_fault(const BmcFault &fault) {
  WorldLock lock;
  advance_model();
  model.faults.push_back(fault);
}

Bmc bmc_copy() {
  WorldLock lock;
  advance_model();
  current_outage();
  return model;
}

void on_ipmi_request(std::function<void(const IpmiRequest &)> fn) {
  WorldLock lock;
  observer = std::move(fn);
}

void script_reply(BYTE command, int nth, DWORD status, BYTE cc) {
  WorldLock lock;
  replies.push_back(ScriptedReply{command, nth, status, cc});
}

void limit_reply_length(BYTE command, WORD length) {
  WorldLock lock;
  reply_limits[command] = length;
}

void script_outage(uint64_t from_ms, uint64_t to_ms, DWORD status, BYTE cc, bool forget) {
  WorldLock lock;
  outages.push_back(Outage{from_ms, to_ms, status, cc, forget, false});
}

int library_refcount() {
  WorldLock lock;
  return refcount;
}

std::vector<IpmiRequest> ipmi_requests() {
  WorldLock lock;
  if (history_limit && requests.size() > history_limit)
    return std::vector<IpmiRequest>(requests.end() - static_cast<long>(history_limit),
                                    requests.end());
  return requests;
}

}  // namespace fake

using namespace fake::detail;

namespace {

// kernel32 is always loaded; its handle is no handle of the fake's.
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(static_cast<intptr_t>(0x7c800000));

BOOL WINAPI set_default_dll_directories(DWORD flags) {
  log("SetDefaultDllDirectories 0x%x", flags);
  return TRUE;
}

bool is_full_path(const std::string &name) {
  return (name.size() > 2 && name[1] == ':' && name[2] == '\\') || name.rfind("\\\\", 0) == 0;
}

std::string base_name(const std::string &path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether the library lies at this path, as reached on disk.
bool library_at(const std::string &real) {
  if (!iequals(base_name(real), QD4_LIBRARY_NAME)) return false;
  if (iequals(real, system_folder_on_disk() + "\\" + QD4_LIBRARY_NAME))
    return model.library_present;
  return file_exists(real);
}

// The file a load of name finds in these folders (a full path: there alone),
// as reached on disk; "" when none.
std::string find_library(const std::string &name, const std::vector<std::string> &folders) {
  if (is_full_path(name)) return library_at(on_disk(name)) ? on_disk(name) : "";
  for (const std::string &folder : folders)
    if (library_at(folder + "\\" + name)) return folder + "\\" + name;
  return "";
}

// Loads what was found; a planted library is loaded too, as Windows would,
// and recorded as a violation.
HMODULE load(const char *call, const std::string &shown, const std::string &found) {
  if (found.empty()) {
    log("%s %s failed=%u", call, shown.c_str(), ERROR_MOD_NOT_FOUND);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (!iequals(found, system_folder_on_disk() + "\\" + QD4_LIBRARY_NAME))
    violation("%s loaded %s, which is not the system folder's library", call, found.c_str());
  if (refcount++ == 0) module = static_cast<HMODULE>(new_handle("module"));
  log("%s %s -> %s", call, shown.c_str(), found.c_str());
  return module;
}

}  // namespace

HMODULE WINAPI LoadLibraryA(LPCSTR file_name) {
  std::string name = file_name ? file_name : "";
  if (DWORD e = scripted_failure("LoadLibraryA")) {
    log("LoadLibraryA %s failed=%u", name.c_str(), e);
    SetLastError(e);
    return nullptr;
  }
  WorldLock lock;
  return load("LoadLibraryA", name, find_library(name, dll_search_folders()));
}

HMODULE WINAPI LoadLibraryExA(LPCSTR file_name, HANDLE file, DWORD flags) {
  std::string name = file_name ? file_name : "";
  char shown[600];
  snprintf(shown, sizeof shown, "%s flags=0x%x", name.c_str(), flags);
  if (DWORD e = scripted_failure("LoadLibraryExA")) {
    log("LoadLibraryExA %s failed=%u", shown, e);
    SetLastError(e);
    return nullptr;
  }
  WorldLock lock;
  if (file) violation("LoadLibraryExA with a file handle, which is reserved");
  const DWORD search = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
  if ((flags & ~search) != 0 || ((flags & search) && !search_flags_known()) ||
      ((flags & LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR) && !is_full_path(name))) {
    log("LoadLibraryExA %s failed=%u", shown, ERROR_INVALID_PARAMETER);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<std::string> folders = dll_search_folders();
  if (flags & LOAD_LIBRARY_SEARCH_SYSTEM32) folders = {system_folder_on_disk()};
  return load("LoadLibraryExA", shown, find_library(name, folders));
}

HMODULE WINAPI GetModuleHandleA(LPCSTR module_name) {
  std::string name = module_name ? module_name : "";
  if (DWORD e = scripted_failure("GetModuleHandleA")) {
    log("GetModuleHandleA %s failed=%u", name.c_str(), e);
    SetLastError(e);
    return nullptr;
  }
  if (iequals(name, "kernel32.dll") || iequals(name, "kernel32")) return kKernel32;
  log("GetModuleHandleA %s failed=%u", name.c_str(), ERROR_MOD_NOT_FOUND);
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE mod, LPCSTR name) {
  std::string entry = name ? name : "";
  if (DWORD e = scripted_failure("GetProcAddress")) {
    log("GetProcAddress %s failed=%u", entry.c_str(), e);
    SetLastError(e);
    return nullptr;
  }
  WorldLock lock;
  if (mod == kKernel32) {
    // The one kernel32 entry the system looks up.
    if (entry == "SetDefaultDllDirectories" && search_flags_known()) {
      log("GetProcAddress kernel32 %s", entry.c_str());
      return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&set_default_dll_directories));
    }
    log("GetProcAddress kernel32 %s failed=%u", entry.c_str(), ERROR_PROC_NOT_FOUND);
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (!mod || mod != module || !handle_is(mod, "module")) {
    violation("GetProcAddress on a module that is not loaded");
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void *address = nullptr;
  // Entries are looked up by exact name, as Windows does.
  if (entry == QD4_OPEN_NAME && model.has_open)
    address = reinterpret_cast<void *>(&open_driver);
  else if (entry == QD4_CLOSE_NAME && model.has_close)
    address = reinterpret_cast<void *>(&close_driver);
  else if (entry == QD4_SEND_NAME && model.has_send)
    address = reinterpret_cast<void *>(&send_request);
  else if (entry == QD4_VERSION_NAME && model.has_version)
    address = reinterpret_cast<void *>(&get_version);
  if (!address) {
    log("GetProcAddress %s failed=%u", entry.c_str(), ERROR_PROC_NOT_FOUND);
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  log("GetProcAddress %s", entry.c_str());
  return reinterpret_cast<FARPROC>(address);
}

BOOL WINAPI FreeLibrary(HMODULE mod) {
  if (DWORD e = scripted_failure("FreeLibrary")) {
    log("FreeLibrary failed=%u", e);
    SetLastError(e);
    return FALSE;
  }
  WorldLock lock;
  if (!mod || mod != module || refcount == 0) {
    violation("FreeLibrary on a module that is not loaded");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (--refcount == 0) {
    close_handle(mod, "module");
    module = nullptr;
  }
  log("FreeLibrary %s", QD4_LIBRARY_NAME);
  return TRUE;
}
