// Dynamic loading, and the fake "vyrqd4w.dll" with the BMC watchdog behind it.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "internal.h"
#include "watchdog/qd4_driver.h"

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
      model.configured = false;
      model.running = false;
      log("BMC restarted at %llu ms: watchdog settings lost", static_cast<unsigned long long>(t));
    }
    if (t >= o.from_ms && t < o.to_ms) in_force = &o;
  }
  return in_force;
}
std::map<BYTE, int> command_uses;

// IPMI 2.0 section 27.7: the countdown ends the timer and sets its expiration flag.
void check_expiry() {
  if (!model.running) return;
  uint64_t length = static_cast<uint64_t>(model.initial_count) * 100;
  if (now() - model.started_at >= length) {
    model.running = false;
    model.expired = true;
    log("BMC watchdog expired at %llu ms", static_cast<unsigned long long>(now()));
  }
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
  switch (command) {
    case 0x24:  // Set Watchdog Timer, IPMI 2.0 section 27.6
      if (!data || length != 6) return 0xC7;
      model.configured = true;
      model.timer_use = data[0];
      model.actions = data[1];
      model.initial_count = static_cast<WORD>(data[4] | data[5] << 8);
      // Bit 6 of the timer use is "don't stop": when clear, the Set stops the timer.
      if (!(data[0] & 0x40)) model.running = false;
      return 0;
    case 0x22:  // Reset Watchdog Timer, section 27.5: starts a stopped timer
      if (!model.configured) return 0x80;
      model.running = true;
      model.expired = false;
      model.started_at = now();
      return 0;
    case 0x25: {  // Get Watchdog Timer, section 27.7: bit 6 of byte 1 is "running"
      uint64_t elapsed = model.running ? (now() - model.started_at) / 100 : 0;
      WORD present =
          elapsed >= model.initial_count ? 0 : static_cast<WORD>(model.initial_count - elapsed);
      reply = {static_cast<BYTE>((model.timer_use & 0x87) | (model.running ? 0x40 : 0)),
               model.actions,
               0,
               0,
               static_cast<BYTE>(model.initial_count & 0xFF),
               static_cast<BYTE>(model.initial_count >> 8),
               static_cast<BYTE>(present & 0xFF),
               static_cast<BYTE>(present >> 8)};
      return 0;
    }
    default:
      return 0xC1;  // invalid command
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
  WorldLock lock;
  IpmiRequest r{};
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
  if (!sessions.count(session)) violation("SendQD4Request on session 0x%x, not open", session);
  int use = ++command_uses[command];
  check_expiry();

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
  if (const Outage *o = done ? nullptr : current_outage()) {
    status = o->status;
    *completion_code = o->cc;
    done = true;
  }
  if (!done) {
    std::vector<BYTE> reply;
    *completion_code = carry_out(command, request_data, request_length, reply);
    WORD n = static_cast<WORD>(reply.size() < *response_length ? reply.size() : *response_length);
    if (n) memcpy(response_buffer, reply.data(), n);
    *response_length = n;
  }
  r.status = status;
  r.completion_out = *completion_code;
  r.at_ms = now();
  requests.push_back(r);
  log("SendQD4Request cmd=0x%x data=%s -> status=%u cc=0x%x", command,
      hex(request_data, request_length).c_str(), status, *completion_code);
  return status;
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
  outages.clear();
  command_uses.clear();
}

}  // namespace detail

using namespace detail;

Bmc &bmc() {
  WorldLock lock;
  check_expiry();
  current_outage();
  return model;
}

void script_reply(BYTE command, int nth, DWORD status, BYTE cc) {
  WorldLock lock;
  replies.push_back(ScriptedReply{command, nth, status, cc});
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
  return requests;
}

}  // namespace fake

using namespace fake::detail;

HMODULE WINAPI LoadLibraryA(LPCSTR file_name) {
  std::string name = file_name ? file_name : "";
  if (DWORD e = scripted_failure("LoadLibraryA")) {
    log("LoadLibraryA %s failed=%u", name.c_str(), e);
    SetLastError(e);
    return nullptr;
  }
  WorldLock lock;
  if (!iequals(name, QD4_LIBRARY_NAME) || !model.library_present) {
    log("LoadLibraryA %s failed=%u", name.c_str(), ERROR_MOD_NOT_FOUND);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (refcount++ == 0) module = static_cast<HMODULE>(new_handle("module"));
  log("LoadLibraryA %s", name.c_str());
  return module;
}

FARPROC WINAPI GetProcAddress(HMODULE mod, LPCSTR name) {
  std::string entry = name ? name : "";
  if (DWORD e = scripted_failure("GetProcAddress")) {
    log("GetProcAddress %s failed=%u", entry.c_str(), e);
    SetLastError(e);
    return nullptr;
  }
  WorldLock lock;
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
