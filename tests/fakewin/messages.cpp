// System message texts as FormatMessageA gives them, with Windows' own
// wording and CR LF, and the LocalFree that releases what it allocated.
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "internal.h"

namespace fake {
namespace {

std::map<DWORD, std::string> texts;
std::set<void *> allocated;

const std::map<DWORD, std::string> &windows_texts() {
  static const std::map<DWORD, std::string> t = {
      {2, "The system cannot find the file specified.\r\n"},
      {3, "The system cannot find the path specified.\r\n"},
      {5, "Access is denied.\r\n"},
      {6, "The handle is invalid.\r\n"},
      {32, "The process cannot access the file because it is being used by another process.\r\n"},
      {33,
       "The process cannot access the file because another process has locked a portion of the "
       "file.\r\n"},
      {80, "The file exists.\r\n"},
      {87, "The parameter is incorrect.\r\n"},
      {122, "The data area passed to a system call is too small.\r\n"},
      {126, "The specified module could not be found.\r\n"},
      {127, "The specified procedure could not be found.\r\n"},
      {193, "%1 is not a valid Win32 application.\r\n"},
      {206, "The filename or extension is too long.\r\n"},
      {317,
       "The system cannot find message text for message number 0x%1 in the message file for "
       "%2.\r\n"},
      {1051,
       "A stop control has been sent to a service that other running services are dependent "
       "on.\r\n"},
      {1053,
       "The service did not respond to the start or control request in a timely fashion.\r\n"},
      {1056, "An instance of the service is already running.\r\n"},
      {1060, "The specified service does not exist as an installed service.\r\n"},
      {1061, "The service cannot accept control messages at this time.\r\n"},
      {1062, "The service has not been started.\r\n"},
      {1063, "The service process could not connect to the service controller.\r\n"},
      {1072, "The specified service has been marked for deletion.\r\n"},
      {1073, "The specified service already exists.\r\n"},
      {1117, "The request could not be performed because of an I/O device error.\r\n"},
  };
  return t;
}

// "%1" .. "%99" take an argument; "%0", "%%", "%n", "%." and the like do not.
bool has_insertions(const std::string &text) {
  for (size_t i = 0; i + 1 < text.size(); i++) {
    if (text[i] != '%') continue;
    if (text[i + 1] >= '1' && text[i + 1] <= '9') return true;
    i++;
  }
  return false;
}

}  // namespace

void set_message(DWORD code, const std::string &text) {
  detail::WorldLock lock;
  texts[code] = text;
}

void remove_message(DWORD code) {
  detail::WorldLock lock;
  texts.erase(code);
}

namespace detail {
void reset_messages() {
  texts = windows_texts();
  for (void *p : allocated) free(p);
  allocated.clear();
}
}  // namespace detail
}  // namespace fake

using namespace fake::detail;

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                            LPSTR buffer, DWORD size, va_list *arguments) {
  if (DWORD e = scripted_failure("FormatMessageA")) {
    log("FormatMessageA %u flags=0x%x failed=%u", message_id, flags, e);
    SetLastError(e);
    return 0;
  }
  WorldLock lock;
  (void)source;
  DWORD error = 0;
  std::string text;
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) {
    error = ERROR_INVALID_PARAMETER;
  } else if (language_id != 0) {
    error = ERROR_INVALID_PARAMETER;
  } else {
    auto it = fake::texts.find(message_id);
    if (it == fake::texts.end()) {
      error = ERROR_MR_MID_NOT_FOUND;
    } else {
      text = it->second;
      if (fake::has_insertions(text) && !(flags & FORMAT_MESSAGE_IGNORE_INSERTS)) {
        violation("FormatMessageA %u: arguments read for a message with insertion markers%s",
                  message_id, arguments ? "" : " (none given)");
        error = ERROR_INVALID_PARAMETER;
      }
    }
  }
  if (error) {
    log("FormatMessageA %u flags=0x%x failed=%u", message_id, flags, error);
    SetLastError(error);
    return 0;
  }
  DWORD length = static_cast<DWORD>(text.size());
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    char *copy = static_cast<char *>(malloc(text.size() + 1 > size ? text.size() + 1 : size));
    memcpy(copy, text.c_str(), text.size() + 1);
    fake::allocated.insert(copy);
    *reinterpret_cast<char **>(buffer) = copy;
  } else if (size <= length) {
    log("FormatMessageA %u flags=0x%x failed=%u", message_id, flags, ERROR_INSUFFICIENT_BUFFER);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  } else {
    memcpy(buffer, text.c_str(), text.size() + 1);
  }
  log("FormatMessageA %u flags=0x%x -> %u", message_id, flags, length);
  return length;
}

namespace fake::detail {
void *local_alloc(size_t size) {
  WorldLock lock;
  void *memory = calloc(1, size ? size : 1);
  fake::allocated.insert(memory);
  return memory;
}
}  // namespace fake::detail

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  scripted_failure("LocalFree");
  if (!memory) return nullptr;
  WorldLock lock;
  auto it = fake::allocated.find(memory);
  if (it == fake::allocated.end()) {
    violation("LocalFree of memory the fake did not allocate (or freed twice)");
    SetLastError(ERROR_INVALID_HANDLE);
    return memory;
  }
  free(memory);
  fake::allocated.erase(it);
  log("LocalFree");
  return nullptr;
}

// Character sets: the fake's texts are ASCII, widened and narrowed one to one.
int WINAPI MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int size, LPWSTR wide,
                               int wide_size) {
  (void)code_page, (void)flags;
  int n = size < 0 ? static_cast<int>(strlen(text)) + 1 : size;
  if (wide_size == 0) return n;
  if (wide_size < n) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (int i = 0; i < n; i++) wide[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
  return n;
}

int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_size, LPSTR text,
                               int size, LPCSTR default_char, PBOOL used_default) {
  (void)code_page, (void)flags, (void)default_char;
  int n = wide_size;
  if (n < 0) {
    n = 0;
    while (wide[n]) n++;
    n++;
  }
  if (used_default) *used_default = FALSE;
  if (size == 0) return n;
  if (size < n) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (int i = 0; i < n; i++) text[i] = static_cast<char>(wide[i]);
  return n;
}
