// Files as the installer sees them: its own path, the system directory, the
// search for a file, attributes, and a copy that fails as Windows' does when
// the destination is a running program or read-only. Folders with their
// storage (stalls, a full disk), and the writes of the health check's file.
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "internal.h"

namespace fake {
namespace {

const char *const DEFAULT_MODULE_PATH = "C:\\Tools\\vyriasrw.exe";
const char *const DEFAULT_SYSTEM_DIRECTORY = "C:\\windows\\system32";
const char *const WINDOWS_DIRECTORY = "C:\\windows";
const char *const WOW64_DIRECTORY = "C:\\windows\\SysWOW64";
const DWORD FILE_ATTRIBUTE_READONLY_BIT = 0x01;
const DWORD ERROR_FILE_EXISTS_CODE = 80;

std::map<std::string, File> all_files;
std::map<std::string, Folder> all_folders;
std::string module_path;
std::string system_directory;
std::string current_directory;
std::vector<std::string> path_folders;
bool search_flags = true;
bool wow64 = false;

std::string folder_of(const std::string &path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

}  // namespace

void set_current_directory(const std::string &path) {
  detail::WorldLock lock;
  current_directory = path;
}

void set_path_folders(const std::vector<std::string> &folders) {
  detail::WorldLock lock;
  path_folders = folders;
}

void set_search_flags(bool known) {
  detail::WorldLock lock;
  search_flags = known;
}

void set_wow64(bool on) {
  detail::WorldLock lock;
  wow64 = on;
}

std::map<std::string, File> &files() { return all_files; }
std::map<std::string, Folder> &folders() { return all_folders; }

Security windows_root_security() {
  Security root;
  root.owner = "S-1-5-18";
  const char *authenticated_users = "S-1-5-11";
  root.dacl.push_back({authenticated_users, FILE_ADD_SUBDIRECTORY});
  // Modify, for what is created below only.
  root.dacl.push_back({authenticated_users, 0x001301BF,
                       OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE});
  return root;
}

void set_module_path(const std::string &path) {
  detail::WorldLock lock;
  module_path = path;
}

void set_system_directory(const std::string &path) {
  detail::WorldLock lock;
  system_directory = path;
}

namespace detail {
void reset_files() {
  all_files.clear();
  module_path = DEFAULT_MODULE_PATH;
  system_directory = DEFAULT_SYSTEM_DIRECTORY;
  current_directory = DEFAULT_SYSTEM_DIRECTORY;
  path_folders.clear();
  search_flags = true;
  wow64 = false;
  all_files[module_path] = File{FILE_ATTRIBUTE_NORMAL, "vyriasrw program"};
  all_folders.clear();
  all_folders["C:\\"] = Folder{windows_root_security()};
}

namespace {
// Whether path lies inside folder (a root ends in its backslash).
bool inside(const std::string &path, const std::string &folder) {
  std::string prefix = folder.back() == '\\' ? folder : folder + "\\";
  return path.size() > prefix.size() && iequals(path.substr(0, prefix.size()), prefix);
}
}  // namespace

bool folder_exists(const std::string &path) {
  if (path.empty()) return false;
  for (const auto &f : all_folders)
    if (iequals(f.first, path) || inside(f.first, path)) return true;
  for (const auto &f : all_files)
    if (inside(f.first, path)) return true;
  return false;
}

const Security *security_of(const std::string &path) {
  static const Security default_folder;
  std::string real = on_disk(path);
  for (const auto &f : all_files)
    if (iequals(f.first, real)) return &f.second.security;
  for (const auto &f : all_folders)
    if (iequals(f.first, real)) return &f.second.security;
  return folder_exists(real) ? &default_folder : nullptr;
}

std::string on_disk(const std::string &path) {
  const std::string &sys = system_directory;
  if (!wow64 || path.size() < sys.size() || !iequals(path.substr(0, sys.size()), sys)) return path;
  if (path.size() > sys.size() && path[sys.size()] != '\\') return path;
  return WOW64_DIRECTORY + path.substr(sys.size());
}

bool file_exists(const std::string &path) {
  std::string real = on_disk(path);
  for (const auto &f : all_files)
    if (iequals(f.first, real)) return true;
  return false;
}

std::string system_folder_on_disk() { return on_disk(system_directory); }

std::vector<std::string> dll_search_folders() {
  std::vector<std::string> folders = {folder_of(module_path), system_directory, WINDOWS_DIRECTORY,
                                      current_directory};
  folders.insert(folders.end(), path_folders.begin(), path_folders.end());
  for (std::string &f : folders) f = on_disk(f);
  return folders;
}

bool search_flags_known() { return search_flags; }
}  // namespace detail
}  // namespace fake

using namespace fake::detail;
using fake::File;

namespace {

// The file a call for path reaches (under WOW64 system32 is SysWOW64).
std::map<std::string, File>::iterator find_file(const char *path) {
  auto &files = fake::files();
  if (!path) return files.end();
  std::string real = on_disk(path);
  for (auto it = files.begin(); it != files.end(); ++it)
    if (iequals(it->first, real)) return it;
  return files.end();
}

// The program part of an image path: the quoted text, or else the text as
// far as a blank. Windows tries an unquoted path with blanks piece by piece,
// so a whole unquoted prefix that names the file counts as well.
bool runs_program(const std::string &image_path, const std::string &program) {
  if (!image_path.empty() && image_path[0] == '"') {
    size_t end = image_path.find('"', 1);
    return end != std::string::npos && iequals(image_path.substr(1, end - 1), program);
  }
  if (iequals(image_path, program)) return true;
  return image_path.size() > program.size() && image_path[program.size()] == ' ' &&
         iequals(image_path.substr(0, program.size()), program);
}

}  // namespace

namespace fake::detail {
std::vector<std::string> running_images();

bool image_file_exists(const std::string &image_path) {
  for (const auto &f : fake::files())
    if (runs_program(image_path, f.first)) return true;
  return false;
}
}  // namespace fake::detail

namespace {

// A program is in use while a process runs it, which outlasts its service's
// STOPPED report.
bool program_in_use(const std::string &path) {
  for (const std::string &image : running_images())
    if (runs_program(image, path)) return true;
  return false;
}

BOOL fail_with(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

// As Windows since Vista: a buffer too small gets the path cut short with a
// NUL, the answer is the size, and the last error 122.
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size) {
  if (DWORD e = scripted_failure("GetModuleFileNameA")) {
    log("GetModuleFileNameA size=%u failed=%u", size, e);
    SetLastError(e);
    return 0;
  }
  WorldLock lock;
  if (module) {
    log("GetModuleFileNameA %s failed=%u", handle_name(module).c_str(), ERROR_MOD_NOT_FOUND);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  const std::string &path = fake::module_path;
  if (size == 0) {
    log("GetModuleFileNameA size=0 -> 0");
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < size) {
    memcpy(file_name, path.c_str(), path.size() + 1);
    log("GetModuleFileNameA size=%u -> %s", size, path.c_str());
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  }
  memcpy(file_name, path.data(), size - 1);
  file_name[size - 1] = '\0';
  log("GetModuleFileNameA size=%u -> cut short", size);
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

// As Windows: the length without the NUL when it fits; otherwise the size
// needed, NUL included, and the buffer is left alone.
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
  if (DWORD e = scripted_failure("GetSystemDirectoryA")) {
    log("GetSystemDirectoryA size=%u failed=%u", size, e);
    SetLastError(e);
    return 0;
  }
  WorldLock lock;
  const std::string &path = fake::system_directory;
  if (path.size() < size) {
    memcpy(buffer, path.c_str(), path.size() + 1);
    log("GetSystemDirectoryA size=%u -> %s", size, path.c_str());
    return static_cast<UINT>(path.size());
  }
  log("GetSystemDirectoryA size=%u -> needs %zu", size, path.size() + 1);
  return static_cast<UINT>(path.size() + 1);
}

// On 32-bit Windows it fails with 120, as Windows' does.
UINT WINAPI GetSystemWow64DirectoryA(LPSTR buffer, UINT size) {
  if (DWORD e = scripted_failure("GetSystemWow64DirectoryA")) {
    log("GetSystemWow64DirectoryA size=%u failed=%u", size, e);
    SetLastError(e);
    return 0;
  }
  WorldLock lock;
  if (!fake::wow64) {
    log("GetSystemWow64DirectoryA size=%u failed=%u", size, ERROR_CALL_NOT_IMPLEMENTED);
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
  }
  std::string path = fake::WOW64_DIRECTORY;
  if (path.size() < size) {
    memcpy(buffer, path.c_str(), path.size() + 1);
    log("GetSystemWow64DirectoryA size=%u -> %s", size, path.c_str());
    return static_cast<UINT>(path.size());
  }
  log("GetSystemWow64DirectoryA size=%u -> needs %zu", size, path.size() + 1);
  return static_cast<UINT>(path.size() + 1);
}

BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64) {
  if (DWORD e = scripted_failure("IsWow64Process")) {
    log("IsWow64Process failed=%u", e);
    return fail_with(e);
  }
  WorldLock lock;
  if (process != GetCurrentProcess() || !wow64) {
    violation("IsWow64Process: only the current process is modelled");
    return fail_with(ERROR_INVALID_PARAMETER);
  }
  *wow64 = fake::wow64 ? TRUE : FALSE;
  log("IsWow64Process -> %d", *wow64);
  return TRUE;
}

HANDLE WINAPI FindFirstFileA(LPCSTR file_name, LPWIN32_FIND_DATAA find_data) {
  const char *shown = file_name ? file_name : "(null)";
  if (DWORD e = scripted_failure("FindFirstFileA")) {
    log("FindFirstFileA %s failed=%u", shown, e);
    SetLastError(e);
    return INVALID_HANDLE_VALUE;
  }
  WorldLock lock;
  auto it = find_file(file_name);
  if (it == fake::files().end()) {
    log("FindFirstFileA %s failed=%u", shown, ERROR_FILE_NOT_FOUND);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *find_data = WIN32_FIND_DATAA{};
  find_data->dwFileAttributes = it->second.attributes;
  find_data->nFileSizeLow = static_cast<DWORD>(it->second.content.size());
  size_t slash = it->first.find_last_of('\\');
  std::string base = slash == std::string::npos ? it->first : it->first.substr(slash + 1);
  snprintf(find_data->cFileName, sizeof find_data->cFileName, "%s", base.c_str());
  HANDLE h = new_handle("find");
  log("FindFirstFileA %s -> %s", shown, handle_name(h).c_str());
  return h;
}

BOOL WINAPI FindClose(HANDLE find) {
  std::string shown = handle_name(find);
  if (DWORD e = scripted_failure("FindClose")) {
    log("FindClose %s failed=%u", shown.c_str(), e);
    return fail_with(e);
  }
  if (!close_handle(find, "find")) {
    log("FindClose %s failed=%u", shown.c_str(), ERROR_INVALID_HANDLE);
    return fail_with(ERROR_INVALID_HANDLE);
  }
  log("FindClose %s", shown.c_str());
  return TRUE;
}

BOOL WINAPI SetFileAttributesA(LPCSTR file_name, DWORD attributes) {
  const char *shown = file_name ? file_name : "(null)";
  if (DWORD e = scripted_failure("SetFileAttributesA")) {
    log("SetFileAttributesA %s 0x%x failed=%u", shown, attributes, e);
    return fail_with(e);
  }
  WorldLock lock;
  auto it = find_file(file_name);
  if (it == fake::files().end()) {
    log("SetFileAttributesA %s 0x%x failed=%u", shown, attributes, ERROR_FILE_NOT_FOUND);
    return fail_with(ERROR_FILE_NOT_FOUND);
  }
  it->second.attributes = attributes;
  log("SetFileAttributesA %s 0x%x", shown, attributes);
  return TRUE;
}

BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR destination, BOOL fail_if_exists) {
  const char *from = existing ? existing : "(null)";
  const char *to = destination ? destination : "(null)";
  if (DWORD e = scripted_failure("CopyFileA")) {
    log("CopyFileA %s -> %s failed=%u", from, to, e);
    return fail_with(e);
  }
  WorldLock lock;
  auto source = find_file(existing);
  auto target = find_file(destination);
  DWORD error = 0;
  if (!destination || !*destination) {
    error = ERROR_INVALID_PARAMETER;
  } else if (source == fake::files().end()) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (target != fake::files().end() && fail_if_exists) {
    error = fake::ERROR_FILE_EXISTS_CODE;
  } else if (program_in_use(on_disk(destination))) {
    // A running executable cannot be written to.
    error = ERROR_SHARING_VIOLATION;
  } else if (target != fake::files().end() &&
             (target->second.attributes & fake::FILE_ATTRIBUTE_READONLY_BIT)) {
    error = ERROR_ACCESS_DENIED;
  }
  if (error) {
    log("CopyFileA %s -> %s failed=%u", from, to, error);
    return fail_with(error);
  }
  File copy = source->second;
  if (target != fake::files().end()) {
    target->second = copy;
  } else {
    fake::files()[on_disk(destination)] = copy;
  }
  log("CopyFileA %s -> %s", from, to);
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR file_name) {
  const char *shown = file_name ? file_name : "(null)";
  if (DWORD e = scripted_failure("DeleteFileA")) {
    log("DeleteFileA %s failed=%u", shown, e);
    return fail_with(e);
  }
  WorldLock lock;
  auto it = find_file(file_name);
  DWORD error = 0;
  if (it == fake::files().end()) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (program_in_use(it->first)) {
    error = ERROR_SHARING_VIOLATION;
  } else if (it->second.attributes & fake::FILE_ATTRIBUTE_READONLY_BIT) {
    error = ERROR_ACCESS_DENIED;
  }
  if (error) {
    log("DeleteFileA %s failed=%u", shown, error);
    return fail_with(error);
  }
  fake::files().erase(it);
  log("DeleteFileA %s", shown);
  return TRUE;
}

namespace fake::detail {
bool wait_until(uint64_t deadline, const char *what, const std::function<bool()> &ready);
}

namespace {

struct OpenFile {
  std::string path;
  bool write_through, can_write;
};
std::map<HANDLE, OpenFile> open_files;

// The storage of the folder a file lies directly in: a listed one's, else none.
const fake::Folder *storage_of(const std::string &path) {
  size_t slash = path.find_last_of('\\');
  if (slash == std::string::npos) return nullptr;
  std::string folder = path.substr(0, slash == 2 ? 3 : slash);
  for (const auto &f : fake::folders())
    if (iequals(f.first, folder)) return &f.second;
  return nullptr;
}

std::string parent_folder(const std::string &path) {
  size_t slash = path.find_last_of('\\');
  if (slash == std::string::npos) return "";
  return path.substr(0, slash == 2 ? 3 : slash);
}

// A stall of the storage: the caller blocks (for ever with INFINITE).
void stall(DWORD ms, const char *call) {
  if (ms == INFINITE) {
    fake::detail::wait_until(UINT64_MAX, call, [] { return false; });
  } else if (ms) {
    block_for(ms, call);
  }
}

}  // namespace

namespace fake::detail {
void close_file(HANDLE file) {
  WorldLock lock;
  open_files.erase(file);
}
}  // namespace fake::detail

DWORD WINAPI GetFileAttributesA(LPCSTR file_name) {
  const char *shown = file_name ? file_name : "(null)";
  if (DWORD e = scripted_failure("GetFileAttributesA")) {
    log("GetFileAttributesA %s failed=%u", shown, e);
    SetLastError(e);
    return INVALID_FILE_ATTRIBUTES;
  }
  WorldLock lock;
  auto it = find_file(file_name);
  if (it != fake::files().end()) {
    log("GetFileAttributesA %s -> 0x%x", shown, it->second.attributes);
    return it->second.attributes;
  }
  if (file_name && folder_exists(on_disk(file_name))) {
    log("GetFileAttributesA %s -> 0x%x", shown, FILE_ATTRIBUTE_DIRECTORY);
    return FILE_ATTRIBUTE_DIRECTORY;
  }
  DWORD error = file_name && folder_exists(parent_folder(on_disk(file_name)))
                    ? ERROR_FILE_NOT_FOUND
                    : ERROR_PATH_NOT_FOUND;
  log("GetFileAttributesA %s failed=%u", shown, error);
  SetLastError(error);
  return INVALID_FILE_ATTRIBUTES;
}

// Creates or opens a file whose folder exists; only CREATE_NEW, CREATE_ALWAYS
// and OPEN_EXISTING are modelled.
HANDLE WINAPI CreateFileA(LPCSTR file_name, DWORD access, DWORD share_mode,
                          LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                          HANDLE template_file) {
  const char *shown = file_name ? file_name : "(null)";
  if (DWORD e = scripted_failure("CreateFileA")) {
    log("CreateFileA %s failed=%u", shown, e);
    SetLastError(e);
    return INVALID_HANDLE_VALUE;
  }
  (void)attributes;
  if (template_file ||
      (disposition != CREATE_NEW && disposition != CREATE_ALWAYS && disposition != OPEN_EXISTING)) {
    violation("CreateFileA %s: a template or disposition %u the fake does not model", shown,
              disposition);
  }
  WorldLock lock;
  std::string path = file_name ? on_disk(file_name) : "";
  auto it = find_file(file_name);
  DWORD error = 0;
  if (!folder_exists(parent_folder(path))) {
    error = ERROR_PATH_NOT_FOUND;
  } else if (folder_exists(path)) {
    error = ERROR_ACCESS_DENIED;
  } else if (it == fake::files().end() && disposition == OPEN_EXISTING) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (it != fake::files().end() && disposition == CREATE_NEW) {
    error = ERROR_FILE_EXISTS;
  } else if (it != fake::files().end() && (access & GENERIC_WRITE) &&
             (it->second.attributes & FILE_ATTRIBUTE_READONLY)) {
    error = ERROR_ACCESS_DENIED;
  } else if (const fake::Folder *folder = storage_of(path);
             folder && folder->full && it == fake::files().end()) {
    error = ERROR_DISK_FULL;
  }
  if (error) {
    log("CreateFileA %s failed=%u", shown, error);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (it == fake::files().end()) {
    fake::files()[path] = File{};
  } else if (disposition == CREATE_ALWAYS) {
    it->second.content.clear();
  }
  HANDLE h = new_handle("file");
  open_files[h] = OpenFile{path, (flags & FILE_FLAG_WRITE_THROUGH) != 0,
                           (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0};
  log("CreateFileA %s access=0x%x share=0x%x disposition=%u flags=0x%x -> %s", shown, access,
      share_mode, disposition, flags, handle_name(h).c_str());
  return h;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPVOID overlapped) {
  std::string name = handle_name(file);
  if (written) *written = 0;
  if (DWORD e = scripted_failure("WriteFile")) {
    log("WriteFile %s %u failed=%u", name.c_str(), size, e);
    return fail_with(e);
  }
  OpenFile open;
  DWORD stall_ms = 0;
  {
    WorldLock lock;
    auto it = open_files.find(file);
    if (!handle_is(file, "file") || it == open_files.end() || overlapped || !written) {
      violation("WriteFile on %s: not an open file, or without a count", name.c_str());
      return fail_with(ERROR_INVALID_HANDLE);
    }
    open = it->second;
    const fake::Folder *folder = storage_of(open.path);
    DWORD error = !open.can_write           ? ERROR_ACCESS_DENIED
                  : folder && folder->full  ? ERROR_DISK_FULL
                  : !file_exists(open.path) ? ERROR_FILE_NOT_FOUND
                                            : 0;
    if (error) {
      log("WriteFile %s %u failed=%u", name.c_str(), size, error);
      return fail_with(error);
    }
    if (folder && open.write_through) stall_ms = folder->write_stall_ms;
  }
  stall(stall_ms, "WriteFile");
  WorldLock lock;
  auto it = find_file(open.path.c_str());
  if (it != fake::files().end()) it->second.content.append(static_cast<const char *>(buffer), size);
  *written = size;
  log("WriteFile %s %u", name.c_str(), size);
  return TRUE;
}

// Without write-through a write only reaches the cache: the flush waits for the disk.
BOOL WINAPI FlushFileBuffers(HANDLE file) {
  std::string name = handle_name(file);
  if (DWORD e = scripted_failure("FlushFileBuffers")) {
    log("FlushFileBuffers %s failed=%u", name.c_str(), e);
    return fail_with(e);
  }
  DWORD stall_ms = 0;
  {
    WorldLock lock;
    auto it = open_files.find(file);
    if (!handle_is(file, "file") || it == open_files.end()) {
      violation("FlushFileBuffers on %s, not an open file", name.c_str());
      return fail_with(ERROR_INVALID_HANDLE);
    }
    if (!it->second.can_write) {
      log("FlushFileBuffers %s failed=%u", name.c_str(), ERROR_ACCESS_DENIED);
      return fail_with(ERROR_ACCESS_DENIED);
    }
    const fake::Folder *folder = storage_of(it->second.path);
    if (folder && !it->second.write_through) stall_ms = folder->write_stall_ms;
  }
  stall(stall_ms, "FlushFileBuffers");
  log("FlushFileBuffers %s", name.c_str());
  return TRUE;
}
