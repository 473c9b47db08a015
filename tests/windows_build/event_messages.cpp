// event_messages: renders event identifiers from a file's message table as
// Event Viewer does (the file loaded as data, FormatMessage with the entry's
// insertion strings), one line per identifier:
//   <id> ok <text, with CR and LF written as \r and \n>
//   FAIL <id>: expected its message, got error <error>
// usage: event_messages FILE FIRST SECOND ID...
// Exit code 0 when every identifier rendered, 1 when not, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "tests/check/check.h"

int main(int argc, char **argv) {
  if (argc < 5) {
    std::printf("usage: event_messages FILE FIRST SECOND ID...\n");
    return 2;
  }
  // A rendered identifier prints its text; only failures print a check line.
  check::Report report(stdout, check::Report::Passes::kCounted);
  HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  DWORD error = GetLastError();
  if (!report.expect(check::text("load %s", argv[1]), module != nullptr, "a module",
                     check::text("error %lu", error)))
    return report.exit_code();
  for (int i = 4; i < argc; i++) {
    DWORD id = std::strtoul(argv[i], nullptr, 10);
    DWORD_PTR strings[2] = {reinterpret_cast<DWORD_PTR>(argv[2]),
                            reinterpret_cast<DWORD_PTR>(argv[3])};
    char *text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                 FORMAT_MESSAGE_ARGUMENT_ARRAY,
                             module, id, 0, reinterpret_cast<char *>(&text), 0,
                             reinterpret_cast<va_list *>(strings));
    error = GetLastError();
    if (!report.expect(check::text("%lu", id), n != 0, "its message",
                       check::text("error %lu", error)))
      continue;
    std::printf("%lu ok ", id);
    for (DWORD k = 0; k < n; k++) {
      if (text[k] == '\r')
        std::printf("\\r");
      else if (text[k] == '\n')
        std::printf("\\n");
      else
        std::putchar(text[k]);
    }
    std::printf("\n");
    LocalFree(text);
  }
  FreeLibrary(module);
  return report.exit_code();
}
