#include "state.h"

#include <cstdarg>
#include <cstdio>

namespace wmifake {

HMODULE g_module = nullptr;

namespace {

struct FaultState {
  FaultState() { InitializeCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  std::string last_text;
  int32_t remaining = 0;
};

FaultState& fault_state() {
  static FaultState state;
  return state;
}

std::wstring settings_path() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return L"wmifake.ini";
  std::wstring p(path, n);
  size_t slash = p.find_last_of(L"\\/");
  return (slash == std::wstring::npos ? std::wstring() : p.substr(0, slash + 1)) + L"wmifake.ini";
}

std::string read_file(const std::wstring& path) {
  std::string text;
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return text;
  char buffer[4096];
  DWORD got = 0;
  if (ReadFile(f, buffer, sizeof(buffer), &got, nullptr)) text.assign(buffer, got);
  CloseHandle(f);
  return text;
}

}  // namespace

Settings load_settings() {
  std::string text = read_file(settings_path());
  Settings settings;
  parse_settings(text.data(), text.size(), &settings);
  FaultState& state = fault_state();
  EnterCriticalSection(&state.lock);
  if (text != state.last_text) {
    state.last_text = text;
    state.remaining = settings.fault_count;
  }
  LeaveCriticalSection(&state.lock);
  return settings;
}

bool fault_acts(const Settings& settings, Fault fault) {
  if (settings.fault != fault) return false;
  if (settings.fault_count < 0) return true;
  FaultState& state = fault_state();
  EnterCriticalSection(&state.lock);
  bool acts = state.remaining > 0;
  if (acts) --state.remaining;
  LeaveCriticalSection(&state.lock);
  return acts;
}

void log_line(const Settings& settings, const char* format, ...) {
  if (settings.log[0] == '\0') return;
  char line[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof(line) - 2, format, args);
  va_end(args);
  if (n < 0) return;
  size_t len =
      static_cast<size_t>(n) < sizeof(line) - 2 ? static_cast<size_t>(n) : sizeof(line) - 3;
  line[len++] = '\n';
  HANDLE f = CreateFileA(settings.log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(f, line, static_cast<DWORD>(len), &written, nullptr);
  CloseHandle(f);
}

std::string narrow(const wchar_t* text) {
  if (text == nullptr) return "(null)";
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

}  // namespace wmifake
