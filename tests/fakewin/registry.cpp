// The registry: keys under HKEY_LOCAL_MACHINE and their values.
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"

namespace fake {
namespace detail {
namespace {

std::map<std::string, std::map<std::string, RegistryValue>> keys;
// Open keys: their handles and paths.
std::map<HKEY, std::string> open_keys;
const char kCrashControlKey[] = "SYSTEM\\CurrentControlSet\\Control\\CrashControl";
DWORD windows_major, windows_minor;

// The stored spelling of a key, compared as Windows does, or "" when absent.
std::string find_key(const std::string &path) {
  for (const auto &k : keys)
    if (iequals(k.first, path)) return k.first;
  return "";
}

}  // namespace

void reset_registry() {
  keys.clear();
  open_keys.clear();
  // As every Windows Server has it: an automatic memory dump (7) on a crash.
  std::vector<BYTE> automatic_dump = {7, 0, 0, 0};
  keys[kCrashControlKey]["CrashDumpEnabled"] = fake::RegistryValue{REG_DWORD, automatic_dump};
  windows_major = 10;
  windows_minor = 0;
}

}  // namespace detail

std::map<std::string, std::map<std::string, RegistryValue>> &registry() { return detail::keys; }

void set_registry_dword(const std::string &key, const std::string &name, DWORD value) {
  detail::WorldLock lock;
  std::vector<BYTE> data(sizeof value);
  memcpy(data.data(), &value, sizeof value);
  detail::keys[key][name] = RegistryValue{REG_DWORD, data};
}

void set_windows_version(DWORD major, DWORD minor) {
  detail::WorldLock lock;
  detail::windows_major = major;
  detail::windows_minor = minor;
}

}  // namespace fake

using namespace fake::detail;

LONG WINAPI RegCreateKeyExA(HKEY root, LPCSTR sub_key, DWORD reserved, LPSTR class_name,
                            DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES attributes,
                            PHKEY result, LPDWORD disposition) {
  (void)class_name;
  (void)attributes;
  std::string path = sub_key ? sub_key : "";
  if (DWORD e = scripted_failure("RegCreateKeyExA")) {
    log("RegCreateKeyExA %s failed=%u", path.c_str(), e);
    return static_cast<LONG>(e);
  }
  WorldLock lock;
  if (root != HKEY_LOCAL_MACHINE || reserved != 0 || options != REG_OPTION_NON_VOLATILE ||
      !(access & KEY_SET_VALUE))
    violation("RegCreateKeyExA %s: root, reserved, options or access not as expected",
              path.c_str());
  std::string stored = find_key(path);
  if (disposition) *disposition = stored.empty() ? 1 : 2;  // created, opened
  if (stored.empty()) {
    stored = path;
    keys[stored];
  }
  HKEY key = static_cast<HKEY>(new_handle("regkey"));
  open_keys[key] = stored;
  *result = key;
  log("RegCreateKeyExA HKLM\\%s", path.c_str());
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                           DWORD size) {
  std::string value_name = name ? name : "";
  if (DWORD e = scripted_failure("RegSetValueExA")) {
    log("RegSetValueExA %s failed=%u", value_name.c_str(), e);
    return static_cast<LONG>(e);
  }
  WorldLock lock;
  if (!handle_is(key, "regkey") || !open_keys.count(key)) {
    violation("RegSetValueExA on %s, not an open key", handle_name(key).c_str());
    return ERROR_INVALID_HANDLE;
  }
  if (reserved != 0) violation("RegSetValueExA with a non-zero reserved argument");
  // A string's size counts its NUL, as Windows expects.
  if ((type == REG_SZ || type == REG_EXPAND_SZ) && (size == 0 || data[size - 1] != 0))
    violation("RegSetValueExA %s: a string without its NUL in the size", value_name.c_str());
  keys[open_keys[key]][value_name] =
      fake::RegistryValue{type, std::vector<BYTE>(data, data + size)};
  log("RegSetValueExA %s type=%u size=%u", value_name.c_str(), type, size);
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
  if (DWORD e = scripted_failure("RegCloseKey")) return static_cast<LONG>(e);
  WorldLock lock;
  open_keys.erase(key);
  if (!close_handle(key, "regkey")) return ERROR_INVALID_HANDLE;
  log("RegCloseKey");
  return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY root, LPCSTR sub_key, DWORD options, REGSAM access, PHKEY result) {
  std::string path = sub_key ? sub_key : "";
  if (DWORD e = scripted_failure("RegOpenKeyExA")) {
    log("RegOpenKeyExA %s failed=%u", path.c_str(), e);
    return static_cast<LONG>(e);
  }
  WorldLock lock;
  if (root != HKEY_LOCAL_MACHINE || options != 0 || access == 0)
    violation("RegOpenKeyExA %s: root, options or access not as expected", path.c_str());
  std::string stored = find_key(path);
  if (stored.empty()) {
    log("RegOpenKeyExA HKLM\\%s -> %d", path.c_str(), ERROR_FILE_NOT_FOUND);
    return ERROR_FILE_NOT_FOUND;
  }
  HKEY key = static_cast<HKEY>(new_handle("regkey"));
  open_keys[key] = stored;
  *result = key;
  log("RegOpenKeyExA HKLM\\%s access=0x%x", path.c_str(), access);
  return ERROR_SUCCESS;
}

// As Windows answers: a missing value is ERROR_FILE_NOT_FOUND; data larger
// than the buffer ERROR_MORE_DATA with the size needed.
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD size) {
  std::string value_name = name ? name : "";
  if (DWORD e = scripted_failure("RegQueryValueExA")) {
    log("RegQueryValueExA %s failed=%u", value_name.c_str(), e);
    return static_cast<LONG>(e);
  }
  WorldLock lock;
  if (!handle_is(key, "regkey") || !open_keys.count(key)) {
    violation("RegQueryValueExA on %s, not an open key", handle_name(key).c_str());
    return ERROR_INVALID_HANDLE;
  }
  if (reserved != nullptr) violation("RegQueryValueExA with a reserved argument");
  if (data != nullptr && size == nullptr) violation("RegQueryValueExA with data but no size");
  const auto &values = keys[open_keys[key]];
  auto found = values.end();
  for (auto it = values.begin(); it != values.end(); ++it)
    if (iequals(it->first, value_name)) found = it;
  if (found == values.end()) {
    log("RegQueryValueExA %s -> %d", value_name.c_str(), ERROR_FILE_NOT_FOUND);
    return ERROR_FILE_NOT_FOUND;
  }
  const fake::RegistryValue &value = found->second;
  if (type) *type = value.type;
  LONG status = ERROR_SUCCESS;
  if (data != nullptr && *size < value.data.size())
    status = ERROR_MORE_DATA;
  else if (data != nullptr)
    memcpy(data, value.data.data(), value.data.size());
  if (size) *size = static_cast<DWORD>(value.data.size());
  log("RegQueryValueExA %s -> %d type=%u", value_name.c_str(), status, value.type);
  return status;
}

LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR name) {
  std::string value_name = name ? name : "";
  if (DWORD e = scripted_failure("RegDeleteValueA")) {
    log("RegDeleteValueA %s failed=%u", value_name.c_str(), e);
    return static_cast<LONG>(e);
  }
  WorldLock lock;
  if (!handle_is(key, "regkey") || !open_keys.count(key)) {
    violation("RegDeleteValueA on %s, not an open key", handle_name(key).c_str());
    return ERROR_INVALID_HANDLE;
  }
  auto &values = keys[open_keys[key]];
  for (auto it = values.begin(); it != values.end(); ++it)
    if (iequals(it->first, value_name)) {
      values.erase(it);
      log("RegDeleteValueA %s", value_name.c_str());
      return ERROR_SUCCESS;
    }
  log("RegDeleteValueA %s -> %d", value_name.c_str(), ERROR_FILE_NOT_FOUND);
  return ERROR_FILE_NOT_FOUND;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  if (DWORD e = scripted_failure("GetVersionExA")) {
    log("GetVersionExA failed=%u", e);
    SetLastError(e);
    return FALSE;
  }
  WorldLock lock;
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    log("GetVersionExA size=%u -> %d", info->dwOSVersionInfoSize, ERROR_INSUFFICIENT_BUFFER);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  info->dwMajorVersion = windows_major;
  info->dwMinorVersion = windows_minor;
  info->dwBuildNumber = 0;
  info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  info->szCSDVersion[0] = '\0';
  log("GetVersionExA -> %u.%u", windows_major, windows_minor);
  return TRUE;
}
