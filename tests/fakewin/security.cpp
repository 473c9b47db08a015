// Owners, access lists and accounts: GetNamedSecurityInfoA over the files
// and folders of files.cpp, SIDs in Windows' binary form, and the account
// table that LookupAccountSidA and NetUserGetLocalGroups answer from.
#include <aclapi.h>
#include <lm.h>
#include <sddl.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "internal.h"

namespace fake {
namespace {

std::map<std::string, Account> all_accounts;
std::set<void *> net_buffers;

// "S-1-5-21-0-0-0-1000" as Windows lays a SID out; empty when malformed.
std::vector<BYTE> sid_bytes(const std::string &text) {
  std::vector<uint64_t> parts;
  if (text.compare(0, 2, "S-") != 0) return {};
  const char *p = text.c_str() + 2;
  while (*p) {
    char *end;
    if (*p < '0' || *p > '9') return {};
    parts.push_back(strtoull(p, &end, 10));
    p = end;
    if (*p == '-')
      p++;
    else if (*p)
      return {};
  }
  if (parts.size() < 2 || parts.size() > 17 || parts[0] != 1) return {};
  std::vector<BYTE> out = {1, static_cast<BYTE>(parts.size() - 2)};
  for (int i = 5; i >= 0; i--) out.push_back(static_cast<BYTE>(parts[1] >> (8 * i)));
  for (size_t i = 2; i < parts.size(); i++)
    for (int b = 0; b < 4; b++) out.push_back(static_cast<BYTE>(parts[i] >> (8 * b)));
  return out;
}

std::string sid_text(const BYTE *sid) {
  uint64_t authority = 0;
  for (int i = 0; i < 6; i++) authority = authority << 8 | sid[2 + i];
  std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
  for (int i = 0; i < sid[1]; i++) {
    DWORD sub;
    memcpy(&sub, sid + 8 + 4 * i, 4);
    text += "-" + std::to_string(sub);
  }
  return text;
}

size_t aligned(size_t n) { return (n + 3) & ~size_t{3}; }

}  // namespace

std::map<std::string, Account> &accounts() { return all_accounts; }

namespace detail {
void reset_security() {
  all_accounts = {
      {"S-1-5-18", {"NT AUTHORITY", "SYSTEM", false, {}}},
      {"S-1-5-32-544", {"BUILTIN", "Administrators", false, {}}},
      {"S-1-5-32-545", {"BUILTIN", "Users", false, {}}},
      {"S-1-5-11", {"NT AUTHORITY", "Authenticated Users", false, {}}},
      {"S-1-1-0", {"", "Everyone", false, {}}},
      {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
       {"NT SERVICE", "TrustedInstaller", false, {}}},
      {"S-1-5-21-0-0-0-500", {"HOST", "Administrator", true, {"Administrators", "Users"}}},
      {"S-1-5-21-0-0-0-1001", {"HOST", "bob", true, {"Users"}}},
      {"S-1-5-21-0-0-0-1000", {"VM", "root", true, {"Administrators", "Users"}}},
  };
  net_buffers.clear();
}
}  // namespace detail
}  // namespace fake

using namespace fake::detail;

DWORD WINAPI GetNamedSecurityInfoA(LPCSTR object_name, SE_OBJECT_TYPE object_type,
                                   SECURITY_INFORMATION what, PSID *owner, PSID *group, PACL *dacl,
                                   PACL *sacl, PSECURITY_DESCRIPTOR *descriptor) {
  const char *shown = object_name ? object_name : "(null)";
  if (DWORD e = scripted_failure("GetNamedSecurityInfoA")) {
    log("GetNamedSecurityInfoA %s failed=%u", shown, e);
    return e;
  }
  if (object_type != SE_FILE_OBJECT || !descriptor || group || sacl ||
      ((what & OWNER_SECURITY_INFORMATION) && !owner) ||
      ((what & DACL_SECURITY_INFORMATION) && !dacl)) {
    violation("GetNamedSecurityInfoA %s: only a file's owner and access list are modelled", shown);
    return ERROR_INVALID_PARAMETER;
  }
  WorldLock lock;
  const fake::Security *security = object_name ? security_of(object_name) : nullptr;
  if (!security) {
    log("GetNamedSecurityInfoA %s failed=%u", shown, ERROR_FILE_NOT_FOUND);
    return ERROR_FILE_NOT_FOUND;
  }
  // One block, as Windows returns it: a header, the owner, the access list.
  std::vector<BYTE> owner_sid = fake::sid_bytes(security->owner);
  std::vector<BYTE> list(sizeof(ACL));
  for (const fake::Ace &ace : security->dacl) {
    std::vector<BYTE> sid = fake::sid_bytes(ace.sid);
    size_t size = fake::aligned(sizeof(ACE_HEADER) + sizeof(DWORD) + sid.size());
    std::vector<BYTE> entry(size);
    ACE_HEADER header{ace.type, ace.flags, static_cast<WORD>(size)};
    memcpy(entry.data(), &header, sizeof header);
    memcpy(entry.data() + sizeof header, &ace.mask, sizeof ace.mask);
    memcpy(entry.data() + sizeof header + sizeof ace.mask, sid.data(), sid.size());
    list.insert(list.end(), entry.begin(), entry.end());
  }
  ACL header{2, 0, static_cast<WORD>(list.size()), static_cast<WORD>(security->dacl.size()), 0};
  memcpy(list.data(), &header, sizeof header);
  const size_t kHeader = 20;
  size_t owner_at = kHeader, list_at = fake::aligned(owner_at + owner_sid.size());
  BYTE *block = static_cast<BYTE *>(local_alloc(list_at + list.size()));
  memcpy(block + owner_at, owner_sid.data(), owner_sid.size());
  memcpy(block + list_at, list.data(), list.size());
  *descriptor = block;
  if (owner) *owner = (what & OWNER_SECURITY_INFORMATION) ? block + owner_at : nullptr;
  if (dacl)
    *dacl = (what & DACL_SECURITY_INFORMATION) && !security->null_dacl
                ? reinterpret_cast<PACL>(block + list_at)
                : nullptr;
  log("GetNamedSecurityInfoA %s -> owner=%s entries=%zu%s", shown, security->owner.c_str(),
      security->dacl.size(), security->null_dacl ? " null-dacl" : "");
  return ERROR_SUCCESS;
}

BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID *ace) {
  if (!acl || !ace || index >= acl->AceCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  BYTE *at = reinterpret_cast<BYTE *>(acl) + sizeof(ACL);
  for (DWORD i = 0; i < index; i++) at += reinterpret_cast<ACE_HEADER *>(at)->AceSize;
  *ace = at;
  return TRUE;
}

BOOL WINAPI ConvertSidToStringSidA(PSID sid, LPSTR *text) {
  if (!sid || !text) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string s = fake::sid_text(static_cast<const BYTE *>(sid));
  char *copy = static_cast<char *>(local_alloc(s.size() + 1));
  memcpy(copy, s.c_str(), s.size() + 1);
  *text = copy;
  return TRUE;
}

BOOL WINAPI ConvertStringSidToSidA(LPCSTR text, PSID *sid) {
  std::vector<BYTE> bytes = text ? fake::sid_bytes(text) : std::vector<BYTE>{};
  if (bytes.empty() || !sid) {
    SetLastError(1337);  // ERROR_INVALID_SID
    return FALSE;
  }
  void *copy = local_alloc(bytes.size());
  memcpy(copy, bytes.data(), bytes.size());
  *sid = copy;
  return TRUE;
}

BOOL WINAPI LookupAccountSidA(LPCSTR system_name, PSID sid, LPSTR name, LPDWORD name_size,
                              LPSTR domain, LPDWORD domain_size, PSID_NAME_USE use) {
  if (DWORD e = scripted_failure("LookupAccountSidA")) {
    log("LookupAccountSidA failed=%u", e);
    SetLastError(e);
    return FALSE;
  }
  if (system_name || !sid || !name_size || !domain_size || !use) {
    violation("LookupAccountSidA: only the local system, with every size given");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  WorldLock lock;
  std::string text = fake::sid_text(static_cast<const BYTE *>(sid));
  auto it = fake::accounts().find(text);
  if (it == fake::accounts().end()) {
    log("LookupAccountSidA %s failed=%u", text.c_str(), ERROR_NONE_MAPPED);
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
  }
  const fake::Account &a = it->second;
  if (*name_size <= a.name.size() || *domain_size <= a.domain.size() || !name || !domain) {
    *name_size = static_cast<DWORD>(a.name.size() + 1);
    *domain_size = static_cast<DWORD>(a.domain.size() + 1);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(name, a.name.c_str(), a.name.size() + 1);
  memcpy(domain, a.domain.c_str(), a.domain.size() + 1);
  *name_size = static_cast<DWORD>(a.name.size());
  *domain_size = static_cast<DWORD>(a.domain.size());
  *use = a.user ? SidTypeUser : SidTypeWellKnownGroup;
  log("LookupAccountSidA %s -> %s\\%s", text.c_str(), a.domain.c_str(), a.name.c_str());
  return TRUE;
}

NET_API_STATUS WINAPI NetUserGetLocalGroups(LPCWSTR server, LPCWSTR user, DWORD level, DWORD flags,
                                            LPBYTE *buffer, DWORD max_length, LPDWORD entries,
                                            LPDWORD total) {
  std::string who;
  for (const WCHAR *p = user; p && *p; p++) who += static_cast<char>(*p);
  if (DWORD e = scripted_failure("NetUserGetLocalGroups")) {
    log("NetUserGetLocalGroups %s failed=%u", who.c_str(), e);
    return e;
  }
  (void)max_length;
  if (server || !user || level != 0 || !buffer || !entries || !total) {
    violation("NetUserGetLocalGroups %s: only level 0 on the local system", who.c_str());
    return ERROR_INVALID_PARAMETER;
  }
  WorldLock lock;
  const fake::Account *found = nullptr;
  for (const auto &a : fake::accounts())
    if (a.second.user &&
        (iequals(who, a.second.domain + "\\" + a.second.name) || iequals(who, a.second.name)))
      found = &a.second;
  if (!found) {
    log("NetUserGetLocalGroups %s failed=%u", who.c_str(), NERR_UserNotFound);
    return NERR_UserNotFound;
  }
  // Only indirect membership would add to the list; the table holds it whole.
  (void)flags;
  size_t n = found->local_groups.size(), size = n * sizeof(LOCALGROUP_USERS_INFO_0);
  for (const std::string &g : found->local_groups) size += (g.size() + 1) * sizeof(WCHAR);
  BYTE *block = static_cast<BYTE *>(calloc(1, size ? size : 1));
  auto *info = reinterpret_cast<LOCALGROUP_USERS_INFO_0 *>(block);
  WCHAR *text = reinterpret_cast<WCHAR *>(block + n * sizeof(LOCALGROUP_USERS_INFO_0));
  for (size_t i = 0; i < n; i++) {
    info[i].lgrui0_name = text;
    for (char c : found->local_groups[i]) *text++ = static_cast<WCHAR>(c);
    *text++ = 0;
  }
  fake::net_buffers.insert(block);
  *buffer = block;
  *entries = *total = static_cast<DWORD>(n);
  log("NetUserGetLocalGroups %s -> %zu groups", who.c_str(), n);
  return NERR_Success;
}

NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer) {
  if (!buffer) return NERR_Success;
  WorldLock lock;
  if (!fake::net_buffers.erase(buffer)) {
    violation("NetApiBufferFree of a buffer the network calls did not give (or freed twice)");
    return ERROR_INVALID_PARAMETER;
  }
  free(buffer);
  return NERR_Success;
}
