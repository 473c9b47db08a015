#include <stdio.h>
#include <string.h>

#include "cli/commands.h"
#include "cli/event_source.h"
#include "cli/messages.h"
#include "cli/paths.h"
#include "cli/service_config.h"
#include "qd4/qd4_driver.h"
#include "qd4/system_folder.h"
#include "service/names.h"
#include "service/trace.h"

#define SERVICE_TYPE (SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS)

static char own_path[PATH_BUFFER_SIZE];
static char system_directory[PATH_BUFFER_SIZE];
static char destination[PATH_BUFFER_SIZE];
static char image_path[PATH_BUFFER_SIZE];

// Ends the install with "Unable to install" for this error; returns false.
static bool unable_to_install(DWORD error) {
  saved_error = error;
  say_unable_to_install();
  return false;
}

// Refuses an install whose path would not fit its buffer.
static bool refuse_too_long(void) { return unable_to_install(ERROR_FILENAME_EXCED_RANGE); }

// The own path and the system folder; false (message printed) on failure.
static bool find_paths(void) {
  DWORD length = GetModuleFileNameA(nullptr, own_path, sizeof own_path);
  if (length == 0) return unable_to_install(GetLastError());
  // A full buffer means the path was cut short.
  if (length >= sizeof own_path) return refuse_too_long();

  // The answer counts the NUL when the buffer is too small.
  UINT directory_length = get_system_folder(system_directory, sizeof system_directory);
  if (directory_length == 0) return unable_to_install(GetLastError());
  if (directory_length >= sizeof system_directory) return refuse_too_long();
  return true;
}

// Appends text when it fits with its NUL; a path never gets cut short.
static bool append(char *buffer, size_t *used, const char *text) {
  size_t length = strlen(text);
  if (*used + length >= PATH_BUFFER_SIZE) return false;
  memcpy(buffer + *used, text, length + 1);
  *used += length;
  return true;
}

// The destination and the image path, formed before anything is copied or
// registered so that one too long for its buffer refuses a clean install.
// A blank in the program path would make the service manager read a shorter
// program followed by arguments, so such a path is quoted.
static bool form_paths(const char *timeout_text, const char *pretimeout_text) {
  size_t used = 0;
  if (!append(destination, &used, system_directory) || !append(destination, &used, "\\") ||
      !append(destination, &used, INSTALLED_FILE_NAME)) {
    return refuse_too_long();
  }
  const char *quote = strchr(destination, ' ') != nullptr ? "\"" : "";
  used = 0;
  if (!append(image_path, &used, quote) || !append(image_path, &used, destination) ||
      !append(image_path, &used, quote)) {
    return refuse_too_long();
  }
  if (timeout_text != nullptr &&
      (!append(image_path, &used, " ") || !append(image_path, &used, timeout_text))) {
    return refuse_too_long();
  }
  if (timeout_text != nullptr && pretimeout_text != nullptr &&
      (!append(image_path, &used, " ") || !append(image_path, &used, pretimeout_text))) {
    return refuse_too_long();
  }
  return true;
}

static bool copy_own_file(void) {
  if (CopyFileA(own_path, destination, FALSE)) return true;
  saved_error = GetLastError();
  if (trace_enabled) {
    printf("CopyFile error on source file = >%s<, err = %x, %x, %x\n", own_path,
           (unsigned)saved_error, 0x20u, 0x21u);
  }
  if (saved_error != ERROR_SHARING_VIOLATION && saved_error != ERROR_LOCK_VIOLATION) {
    return unable_to_install(saved_error);
  }
  // The installed copy is in use: clear the old installation away first.
  say("Removing existing version of service\n");
  remove_service();
  if (CopyFileA(own_path, destination, FALSE)) return true;
  return unable_to_install(GetLastError());
}

static void trace_image_path(const char *timeout_text, const char *pretimeout_text) {
  if (timeout_text != nullptr) {
    trace("found user-supplied timeout [");
    trace(timeout_text);
    trace("]\n");
  }
  if (timeout_text != nullptr && pretimeout_text != nullptr) {
    trace("found user-supplied pre-timeout [");
    trace(pretimeout_text);
    trace("]\n");
  }
  trace("Creating this service [");
  trace(image_path);
  trace("]\n");
}

static SC_HANDLE create_service(SC_HANDLE manager) {
  // "\0" holds two NULs: the empty dependency list.
  return CreateServiceA(manager, SERVICE_NAME, SERVICE_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                        SERVICE_TYPE, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image_path, nullptr,
                        nullptr, "\0", nullptr, nullptr);
}

static void register_service(void) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    say_failure("OpenSCManager failed - %s\n");
    return;
  }
  SC_HANDLE service = create_service(manager);
  if (service == nullptr) {
    saved_error = GetLastError();
    if (saved_error == ERROR_SERVICE_EXISTS) {
      say("Removing existing version of service\n");
      remove_service();
      service = create_service(manager);
    }
  }
  if (service == nullptr) {
    say_failure("CreateService failed - %s\n");
    CloseServiceHandle(manager);
    return;
  }
  // Said and gone past: the service runs without them.
  if (!set_description_and_recovery(service)) say_failure("ChangeServiceConfig2 failed - %s\n");
  // The service's entries name this copy's message table. A failure leaves
  // them readable by their strings alone, so the install goes on.
  LONG registered = register_event_source(destination);
  if (registered != ERROR_SUCCESS) {
    saved_error = static_cast<DWORD>(registered);
    say("Event log source not registered - %s\n",
        format_system_error(saved_error, error_text, sizeof error_text));
  }
  // Said before the start request, which does not wait for the service.
  say("%s installed and started.\n", SERVICE_DISPLAY_NAME);
  if (!StartServiceA(service, 0, nullptr)) say_failure("StartService failed - %s\n");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

// After the refusal: the file the service loads, and the copy that makes it
// load. Under WOW64 that folder is SysWOW64, which a 64-bit prompt and
// Explorer name as it is, while their System32 is the 64-bit one.
static void say_library_path(void) {
  char path[PATH_BUFFER_SIZE];
  if (!system_folder_file(QD4_LIBRARY_NAME, path, sizeof path)) return;
  say("Looked for %s: the service loads its library from there only.\n", path);
  say("Copy the BMC maker's 32-bit %s there first: copy %s \"%s\"\n", QD4_LIBRARY_NAME,
      QD4_LIBRARY_NAME, path);
}

void install_service(const char *timeout_text, const char *pretimeout_text) {
  // The file the service will load, wherever this program runs from; the
  // probe stays loaded: the process ends soon after.
  if (load_from_system_folder(QD4_LIBRARY_NAME) == nullptr) {
    saved_error = GetLastError();
    say("VYR IPMI library layer not found.\n");
    unable_to_install(saved_error);
    say_library_path();
    return;
  }
  if (!find_paths() || !form_paths(timeout_text, pretimeout_text)) return;
  if (trace_enabled) {
    printf("CopyFile source = >%s<\n", own_path);
    printf("CopyFile dest = >%s<\n", destination);
  }

  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(own_path, &found);
  if (search == INVALID_HANDLE_VALUE) {
    saved_error = GetLastError();
    if (trace_enabled) printf("CopyFile source = >%s<  not found\n", own_path);
    return;
  }
  FindClose(search);

  // Lets a read-only earlier copy be replaced; a missing one is no matter.
  SetFileAttributesA(destination, FILE_ATTRIBUTE_NORMAL);
  if (!copy_own_file()) return;

  trace_image_path(timeout_text, pretimeout_text);
  register_service();
}
