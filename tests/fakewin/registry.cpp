// The registry: keys under HKEY_LOCAL_MACHINE and their values.
#include <cstring>
#include <string>

#include "internal.h"

namespace fake {
namespace detail {
namespace {

std::map<std::string, std::map<std::string, RegistryValue>> keys;
// Open keys: their handles and paths.
std::map<HKEY, std::string> open_keys;

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
}

}  // namespace detail

std::map<std::string, std::map<std::string, RegistryValue>> &registry() { return detail::keys; }

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
  keys[open_keys[key]][value_name] = fake::RegistryValue{type, std::vector<BYTE>(data, data + size)};
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
