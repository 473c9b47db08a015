// The event log: sources and error entries.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"

namespace fake {
namespace detail {
namespace {
std::vector<Event> entries;
}

void reset_eventlog() { entries.clear(); }

}  // namespace detail

std::vector<Event> events() {
  detail::WorldLock lock;
  return detail::entries;
}

std::vector<Event> events(size_t from) {
  detail::WorldLock lock;
  const auto &e = detail::entries;
  return std::vector<Event>(e.begin() + static_cast<long>(std::min(from, e.size())), e.end());
}

}  // namespace fake

using namespace fake::detail;

HANDLE WINAPI RegisterEventSourceA(LPCSTR machine, LPCSTR source) {
  if (DWORD e = scripted_failure("RegisterEventSourceA")) {
    log("RegisterEventSourceA %s failed=%u", source ? source : "null", e);
    SetLastError(e);
    return nullptr;
  }
  HANDLE h = new_handle("eventsource");
  log("RegisterEventSourceA machine=%s %s", machine ? machine : "null", source ? source : "null");
  return h;
}

BOOL WINAPI ReportEventA(HANDLE source, WORD type, WORD category, DWORD event_id, PSID user,
                         WORD string_count, DWORD data_size, LPCSTR *strings, LPVOID data) {
  if (DWORD e = scripted_failure("ReportEventA")) {
    log("ReportEventA failed=%u", e);
    SetLastError(e);
    return FALSE;
  }
  if (!handle_is(source, "eventsource")) {
    violation("ReportEventA on %s, not an open event source", handle_name(source).c_str());
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  fake::Event ev{fake::now(), type, category, event_id, user == nullptr, data_size, {}};
  std::string line = "ReportEventA type=" + std::to_string(type) +
                     " category=" + std::to_string(category) + " id=" + std::to_string(event_id) +
                     " strings=";
  for (WORD i = 0; i < string_count; i++) {
    ev.strings.push_back(strings[i] ? strings[i] : "(null)");
    line += "[" + ev.strings.back() + "]";
  }
  if (data_size || data) line += " data=" + std::to_string(data_size);
  {
    WorldLock lock;
    entries.push_back(ev);
  }
  log("%s", line.c_str());
  return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE source) {
  if (DWORD e = scripted_failure("DeregisterEventSource")) {
    log("DeregisterEventSource failed=%u", e);
    SetLastError(e);
    return FALSE;
  }
  if (!close_handle(source, "eventsource")) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  log("DeregisterEventSource");
  return TRUE;
}
