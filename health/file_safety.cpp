// Whether the files a health command runs can be changed by someone who is
// not already the machine's administrator: the command runs as LocalSystem,
// so a user who can change it could run anything as LocalSystem.
#include <windows.h>
// After windows.h: access lists, SIDs' text form, local groups.
#include <aclapi.h>
#include <lm.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

#include "health/checks.h"
#include "health/command_line.h"

namespace {

// SYSTEM, Administrators and TrustedInstaller: the principals that may change
// what LocalSystem runs.
const char *const kTrustedSids[] = {
    "S-1-5-18",
    "S-1-5-32-544",
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
};
const char kAdministratorsSid[] = "S-1-5-32-544";

// The rights that change a file, or what a folder holds.
const DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | FILE_DELETE_CHILD |
                            WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// Above the file's own folder, adding a file or folder changes nothing on the
// way to the file (Windows lets every user add folders to C:\); renaming,
// deleting or taking over a folder does.
const DWORD kChangeRightsAbove = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

const size_t kNameSize = 256;

// "DOMAIN\name" and whether it is a user's (or the SID's text when it has
// no name); false if neither.
bool account_name(PSID sid, char *text, size_t size, bool *user) {
  char name[kNameSize], domain[kNameSize];
  DWORD name_size = sizeof name, domain_size = sizeof domain;
  SID_NAME_USE use;
  *user = false;
  if (LookupAccountSidA(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
    snprintf(text, size, "%s%s%s", domain, domain[0] ? "\\" : "", name);
    *user = use == SidTypeUser;
    return true;
  }
  char *sid_text = nullptr;
  if (!ConvertSidToStringSidA(sid, &sid_text)) return false;
  snprintf(text, size, "%s", sid_text);
  LocalFree(sid_text);
  return true;
}

bool same_text(const char *a, const char *b) {
  for (; *a && *b; a++, b++) {
    char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a + 32) : *a;
    char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b + 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

// The local Administrators group's name, in the system's language.
bool administrators_name(char *name, size_t size) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidA(kAdministratorsSid, &sid)) return false;
  char domain[kNameSize];
  DWORD name_size = static_cast<DWORD>(size), domain_size = sizeof domain;
  SID_NAME_USE use;
  bool found = LookupAccountSidA(nullptr, sid, name, &name_size, domain, &domain_size, &use);
  LocalFree(sid);
  return found;
}

// A user whom the local Administrators group holds, directly or through a group.
bool is_administrator(const char *account) {
  char group[kNameSize];
  WCHAR wide_account[kNameSize];
  if (!administrators_name(group, sizeof group) ||
      !MultiByteToWideChar(CP_ACP, 0, account, -1, wide_account, kNameSize)) {
    return false;
  }
  LPBYTE buffer = nullptr;
  DWORD entries = 0, total = 0;
  if (NetUserGetLocalGroups(nullptr, wide_account, 0, LG_INCLUDE_INDIRECT, &buffer,
                            MAX_PREFERRED_LENGTH, &entries, &total) != NERR_Success) {
    return false;
  }
  bool member = false;
  const LOCALGROUP_USERS_INFO_0 *groups = reinterpret_cast<LOCALGROUP_USERS_INFO_0 *>(buffer);
  for (DWORD i = 0; i < entries && !member; i++) {
    char name[kNameSize];
    if (WideCharToMultiByte(CP_ACP, 0, groups[i].lgrui0_name, -1, name, sizeof name, nullptr,
                            nullptr)) {
      member = same_text(name, group);
    }
  }
  NetApiBufferFree(buffer);
  return member;
}

// Whether sid may change what LocalSystem runs; *name says who it is.
bool trusted(PSID sid, char *name, size_t size) {
  char *sid_text = nullptr;
  if (!ConvertSidToStringSidA(sid, &sid_text)) {
    snprintf(name, size, "an unreadable principal");
    return false;
  }
  bool well_known = false;
  for (const char *t : kTrustedSids) well_known = well_known || strcmp(sid_text, t) == 0;
  LocalFree(sid_text);
  bool user = false;
  if (!account_name(sid, name, size, &user)) snprintf(name, size, "an unknown principal");
  // Only a user's groups are asked for: Wine 8 lists Administrators for any name given.
  return well_known || (user && is_administrator(name));
}

// One file or folder: its owner, and each entry that grants one of rights.
bool object_safe(const char *path, DWORD rights, char *what, size_t size) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetNamedSecurityInfoA(path, SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &owner, nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    snprintf(what, size, "%s: who may change it cannot be read (error %lu)", path,
             static_cast<unsigned long>(error));
    return false;
  }
  char name[kNameSize];
  bool safe = true;
  if (!owner || !trusted(owner, name, sizeof name)) {
    snprintf(what, size, "%s: its owner %s may change it", path, owner ? name : "(none)");
    safe = false;
  } else if (!dacl) {
    snprintf(what, size, "%s: Everyone may change it (it has no access list)", path);
    safe = false;
  }
  for (DWORD i = 0; safe && i < dacl->AceCount; i++) {
    void *entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    const ACE_HEADER *header = static_cast<ACE_HEADER *>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
        header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      continue;
    }
    // An entry only for what is created inside does not apply here.
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    ACCESS_ALLOWED_ACE *allowed = static_cast<ACCESS_ALLOWED_ACE *>(entry);
    if (!(allowed->Mask & rights)) continue;
    if (!trusted(&allowed->SidStart, name, sizeof name)) {
      snprintf(what, size, "%s: %s may change it", path, name);
      safe = false;
    }
  }
  LocalFree(descriptor);
  return safe;
}

// A file, its own folder, and every folder above it up to the root.
bool file_and_folders_safe(const char *file, char *what, size_t size) {
  if (!object_safe(file, kChangeRights, what, size)) return false;
  char folder[MAX_PATH];
  snprintf(folder, sizeof folder, "%s", file);
  bool own_folder = true;
  for (;;) {
    char *slash = strrchr(folder, '\\');
    if (!slash) return true;
    // A root keeps its backslash: "C:\".
    if (slash == folder + 2) {
      if (slash[1] == '\0') return true;
      slash[1] = '\0';
    } else {
      *slash = '\0';
    }
    if (!object_safe(folder, own_folder ? kChangeRights : kChangeRightsAbove, what, size)) {
      return false;
    }
    own_folder = false;
  }
}

}  // namespace

bool health_command_files_safe(const char *command_line, char *what, size_t size) {
  if (size) what[0] = '\0';
  const char *cursor = command_line;
  char word[MAX_PATH];
  while (command_word(&cursor, word, sizeof word)) {
    if (!is_full_file_path(word)) continue;
    DWORD attributes = GetFileAttributesA(word);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (!file_and_folders_safe(word, what, size)) return false;
  }
  // A word too long for a path, or a quote never closed: nothing after it was seen.
  while (*cursor == ' ' || *cursor == '\t') cursor++;
  if (*cursor) {
    snprintf(what, size, "%s: the command line cannot be split into its words", command_line);
    return false;
  }
  return true;
}
