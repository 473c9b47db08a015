// wmifake_check: a WMI client of the IPMI driver's class, run under Wine
// against the fake provider.
//   wmifake_check sequence        the documented call sequence and the fake's
//                                 refusals, as "ok ..."/"FAIL ..." lines
//   wmifake_check probe [MS]      the sequence up to its first failure, one
//                                 "<step> hr=0x........ ..." line per step,
//                                 with a pause of MS ms between its two requests
//   wmifake_check service FILE    the probe as a service started by the
//                                 service manager, its lines written to FILE
#include "tests/check/check.h"

#include <objbase.h>
#include <oleauto.h>
#include <wbemcli.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipmi/ipmi.h"

namespace {

// The sequence's checks; probe lines go to its output too (a file in service mode).
check::Report g_check;

void line(const char* step, HRESULT hr, const char* extra = "") {
  std::fprintf(g_check.output(), "%s hr=0x%08lx%s%s\n", step, static_cast<unsigned long>(hr),
               extra[0] ? " " : "", extra);
  std::fflush(g_check.output());
}

// A BSTR for the length of a scope.
struct Bstr {
  explicit Bstr(const wchar_t* s) : b(SysAllocString(s)) {}
  ~Bstr() { SysFreeString(b); }
  operator BSTR() const { return b; }
  BSTR b;
};

struct Variant {
  Variant() { VariantInit(&v); }
  ~Variant() { VariantClear(&v); }
  VARIANT v;
};

template <class T>
void release(T** p) {
  if (*p) (*p)->Release();
  *p = nullptr;
}

HRESULT put_byte(IWbemClassObject* o, const wchar_t* name, BYTE value) {
  Variant v;
  v.v.vt = VT_UI1;
  v.v.bVal = value;
  return o->Put(name, 0, &v.v, 0);
}

HRESULT put_i4(IWbemClassObject* o, const wchar_t* name, LONG value) {
  Variant v;
  v.v.vt = VT_I4;
  v.v.lVal = value;
  return o->Put(name, 0, &v.v, 0);
}

HRESULT put_bytes(IWbemClassObject* o, const wchar_t* name, const BYTE* data, ULONG n) {
  Variant v;
  v.v.vt = VT_ARRAY | VT_UI1;
  v.v.parray = SafeArrayCreateVector(VT_UI1, 0, n);
  if (n > 0) {
    void* raw = nullptr;
    SafeArrayAccessData(v.v.parray, &raw);
    std::memcpy(raw, data, n);
    SafeArrayUnaccessData(v.v.parray);
  }
  return o->Put(name, 0, &v.v, 0);
}

// The WMI side of one session: namespace, the instance's path and the class.
struct Session {
  IWbemLocator* locator = nullptr;
  IWbemServices* services = nullptr;
  IWbemClassObject* ipmi_class = nullptr;
  BSTR path = nullptr;
  ~Session() {
    SysFreeString(path);
    release(&ipmi_class);
    release(&services);
    release(&locator);
  }
};

struct Answer {
  HRESULT hr = E_FAIL;
  BYTE cc = 0xFF;
  LONG size = -1;
  BYTE data[64];
  LONG data_len = -1;
  DWORD ms = 0;
  VARTYPE cc_vt = VT_EMPTY, size_vt = VT_EMPTY, data_vt = VT_EMPTY;
};

// Per request: GetMethod, SpawnInstance, the six Puts, ExecMethod on the
// instance's path, then the three outputs.
Answer request(Session* s, BYTE netfn, BYTE cmd, const BYTE* data, ULONG n) {
  Answer a;
  IWbemClassObject* in_class = nullptr;
  IWbemClassObject* in = nullptr;
  IWbemClassObject* out = nullptr;
  a.hr = s->ipmi_class->GetMethod(L"RequestResponse", 0, &in_class, nullptr);
  if (SUCCEEDED(a.hr)) a.hr = in_class->SpawnInstance(0, &in);
  if (SUCCEEDED(a.hr)) a.hr = put_byte(in, L"Command", cmd);
  if (SUCCEEDED(a.hr)) a.hr = put_byte(in, L"Lun", 0);
  if (SUCCEEDED(a.hr)) a.hr = put_byte(in, L"NetworkFunction", netfn);
  if (SUCCEEDED(a.hr)) a.hr = put_bytes(in, L"RequestData", data, n);
  if (SUCCEEDED(a.hr)) a.hr = put_i4(in, L"RequestDataSize", static_cast<LONG>(n));
  if (SUCCEEDED(a.hr)) a.hr = put_byte(in, L"ResponderAddress", ipmi::kBmcAddress);
  if (SUCCEEDED(a.hr)) {
    Bstr method(L"RequestResponse");
    DWORD t0 = GetTickCount();
    a.hr = s->services->ExecMethod(s->path, method, 0, nullptr, in, &out, nullptr);
    a.ms = GetTickCount() - t0;
  }
  if (SUCCEEDED(a.hr)) {
    Variant cc, size, bytes;
    out->Get(L"CompletionCode", 0, &cc.v, nullptr, nullptr);
    out->Get(L"ResponseDataSize", 0, &size.v, nullptr, nullptr);
    out->Get(L"ResponseData", 0, &bytes.v, nullptr, nullptr);
    a.cc_vt = cc.v.vt;
    a.size_vt = size.v.vt;
    a.data_vt = bytes.v.vt;
    if (cc.v.vt == VT_UI1) a.cc = cc.v.bVal;
    if (size.v.vt == VT_I4) a.size = size.v.lVal;
    if (bytes.v.vt == (VT_ARRAY | VT_UI1)) {
      LONG lo = 0, hi = -1;
      SafeArrayGetLBound(bytes.v.parray, 1, &lo);
      SafeArrayGetUBound(bytes.v.parray, 1, &hi);
      a.data_len = hi - lo + 1;
      void* raw = nullptr;
      SafeArrayAccessData(bytes.v.parray, &raw);
      LONG copy = a.data_len < 64 ? a.data_len : 64;
      if (copy > 0) std::memcpy(a.data, raw, static_cast<size_t>(copy));
      SafeArrayUnaccessData(bytes.v.parray);
    }
  }
  release(&out);
  release(&in);
  release(&in_class);
  return a;
}

using ipmi::kCmdGetDeviceId;
using ipmi::kCmdGetWatchdog;
using ipmi::kCmdSetWatchdog;
using ipmi::kNetfnApp;
// Set: SMS/OS with don't-stop, hard reset, count 3000.
const BYTE kEnable[] = {0x44, 0x01, 0x00, 0x10, 0xB8, 0x0B};

// How long the probe waits in Next for the instance.
constexpr LONG kNextTimeoutMs = 2000;

// ConnectServer, CoSetProxyBlanket, the instance from `how` (enum or query)
// and the class. Prints one probe line per step; false at the first failure.
bool open_session(Session* s, const char* how, bool print) {
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(&s->locator));
  if (print) line("create", hr);
  if (FAILED(hr)) return false;
  Bstr ns(L"ROOT\\WMI");
  DWORD t0 = GetTickCount();
  hr = s->locator->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &s->services);
  char connect_ms[24];
  std::snprintf(connect_ms, sizeof(connect_ms), "ms=%lu",
                static_cast<unsigned long>(GetTickCount() - t0));
  if (print) line("connect", hr, connect_ms);
  if (FAILED(hr)) return false;
  hr = CoSetProxyBlanket(s->services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                         RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (print) line("blanket", hr);
  if (FAILED(hr)) return false;
  IEnumWbemClassObject* e = nullptr;
  const LONG flags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;
  if (std::strcmp(how, "query") == 0) {
    Bstr wql(L"WQL"), q(L"SELECT * FROM Microsoft_IPMI");
    hr = s->services->ExecQuery(wql, q, flags, nullptr, &e);
  } else {
    Bstr cls(L"Microsoft_IPMI");
    hr = s->services->CreateInstanceEnum(cls, flags, nullptr, &e);
  }
  if (print) line(how, hr);
  if (FAILED(hr)) return false;
  IWbemClassObject* instance = nullptr;
  ULONG got = 0;
  t0 = GetTickCount();
  hr = e->Next(kNextTimeoutMs, 1, &instance, &got);
  DWORD next_ms = GetTickCount() - t0;
  release(&e);
  Variant active, relpath;
  if (got == 1) {
    instance->Get(L"Active", 0, &active.v, nullptr, nullptr);
    instance->Get(L"__RELPATH", 0, &relpath.v, nullptr, nullptr);
    release(&instance);
  }
  char extra[64];
  std::snprintf(extra, sizeof(extra), "count=%lu active=%d ms=%lu", static_cast<unsigned long>(got),
                active.v.vt == VT_BOOL ? (active.v.boolVal ? 1 : 0) : -1,
                static_cast<unsigned long>(next_ms));
  if (print) line("next", hr, extra);
  if (FAILED(hr) || got != 1 || active.v.vt != VT_BOOL || !active.v.boolVal ||
      relpath.v.vt != VT_BSTR) {
    return false;
  }
  s->path = SysAllocString(relpath.v.bstrVal);
  Bstr cls(L"Microsoft_IPMI");
  hr = s->services->GetObject(cls, 0, nullptr, &s->ipmi_class, nullptr);
  if (print) line("class", hr);
  return SUCCEEDED(hr);
}

void print_answer(const char* step, const Answer& a) {
  char extra[200];
  int n = std::snprintf(extra, sizeof(extra), "cc=%02x size=%ld data=", a.cc,
                        static_cast<long>(a.size));
  for (LONG i = 0; i < a.data_len && i < 64 && n < 180; ++i) {
    n += std::snprintf(extra + n, sizeof(extra) - static_cast<size_t>(n), "%02x", a.data[i]);
  }
  std::snprintf(extra + n, sizeof(extra) - static_cast<size_t>(n), " ms=%lu",
                static_cast<unsigned long>(a.ms));
  line(step, a.hr, extra);
}

int probe(DWORD pause_ms) {
  Session s;
  if (!open_session(&s, "enum", true)) return 0;
  print_answer("device-id", request(&s, kNetfnApp, kCmdGetDeviceId, nullptr, 0));
  Sleep(pause_ms);
  print_answer("get-watchdog", request(&s, kNetfnApp, kCmdGetWatchdog, nullptr, 0));
  return 0;
}

// The documented sequence and what WMI refuses.
int sequence() {
  Session s;
  g_check.expect("the sequence reaches the class (enum)", open_session(&s, "enum", false), "true",
                 "false");
  if (s.ipmi_class == nullptr) return 1;
  {
    Session q;
    g_check.expect("the sequence reaches the class (query)", open_session(&q, "query", false),
                   "true", "false");
  }
  // The instance's properties.
  {
    Bstr cls(L"Microsoft_IPMI");
    IEnumWbemClassObject* e = nullptr;
    s.services->CreateInstanceEnum(cls, 0, nullptr, &e);
    IWbemClassObject* objects[2] = {nullptr, nullptr};
    ULONG got = 0;
    HRESULT hr = e ? e->Next(WBEM_INFINITE, 2, objects, &got) : E_FAIL;
    g_check.expect_hex("Next for two gives WBEM_S_FALSE", WBEM_S_FALSE, hr);
    g_check.expect_eq("... and one instance", 1, static_cast<long>(got));
    if (got == 1) {
      Variant name, bmc, path;
      CIMTYPE type = 0;
      objects[0]->Get(L"InstanceName", 0, &name.v, &type, nullptr);
      g_check.expect("InstanceName is a string", name.v.vt == VT_BSTR && type == CIM_STRING,
                     "VT_BSTR", "other");
      objects[0]->Get(L"BMCAddress", 0, &bmc.v, &type, nullptr);
      g_check.expect_eq("BMCAddress is 20h as VT_UI1", 0x20 | (VT_UI1 << 8),
                        bmc.v.vt == VT_UI1 ? (bmc.v.bVal | (VT_UI1 << 8)) : bmc.v.vt);
      objects[0]->Get(L"__PATH", 0, &path.v, nullptr, nullptr);
      bool ends = false;
      if (path.v.vt == VT_BSTR && s.path != nullptr) {
        size_t pl = wcslen(path.v.bstrVal), rl = wcslen(s.path);
        ends = pl > rl && wcscmp(path.v.bstrVal + pl - rl, s.path) == 0 &&
               wcsncmp(path.v.bstrVal, L"\\\\", 2) == 0;
      }
      g_check.expect("__PATH is \\\\server\\root\\wmi: and __RELPATH", ends, "a full path",
                     "other");
      Variant none;
      g_check.expect_hex("Get of an unknown property", WBEM_E_NOT_FOUND,
                         objects[0]->Get(L"NoSuchProperty", 0, &none.v, nullptr, nullptr));
      objects[0]->Release();
    }
    got = 7;
    hr = e ? e->Next(WBEM_INFINITE, 1, objects, &got) : E_FAIL;
    g_check.expect("a second Next: 0 with WBEM_S_FALSE", hr == WBEM_S_FALSE && got == 0,
                   "WBEM_S_FALSE, 0", "other");
    release(&e);
  }

  // The requests.
  Answer a = request(&s, kNetfnApp, kCmdGetDeviceId, nullptr, 0);
  g_check.expect_hex("Get Device ID: ExecMethod", S_OK, a.hr);
  g_check.expect("... out types VT_UI1, VT_I4, VT_ARRAY|VT_UI1",
                 a.cc_vt == VT_UI1 && a.size_vt == VT_I4 && a.data_vt == (VT_ARRAY | VT_UI1),
                 "those", "other");
  g_check.expect_eq("... CompletionCode 00h", 0, a.cc);
  g_check.expect_eq("... ResponseData[0] is the completion code", a.cc,
                    a.data_len > 0 ? a.data[0] : -1);
  g_check.expect_eq("... ResponseDataSize counts it", a.data_len, a.size);
  a = request(&s, kNetfnApp, kCmdSetWatchdog, kEnable, sizeof(kEnable));
  g_check.expect_eq("Set Watchdog Timer: 00h and size 1", 0x0001,
                    a.hr == S_OK ? (a.cc << 8) | a.size : -1);
  a = request(&s, kNetfnApp, kCmdGetWatchdog, nullptr, 0);
  g_check.expect_eq("Get Watchdog Timer: 9 bytes", 9, a.size);
  g_check.expect_eq("... initial count 3000 (b80bh)", 0x0bb8,
                    a.data_len == 9 ? a.data[5] | (a.data[6] << 8) : -1);

  // WMI's refusals.
  IWbemClassObject* in_class = nullptr;
  IWbemClassObject* in = nullptr;
  IWbemClassObject* out = nullptr;
  s.ipmi_class->GetMethod(L"RequestResponse", 0, &in_class, nullptr);
  if (in_class) in_class->SpawnInstance(0, &in);
  g_check.expect("GetMethod and SpawnInstance give an in-parameters instance", in != nullptr,
                 "object", "none");
  if (in == nullptr) return 1;
  g_check.expect_hex("Put of an unknown name", WBEM_E_NOT_FOUND, put_byte(in, L"Data", 1));
  g_check.expect_hex("Put of VT_I4 into uint8 Command", WBEM_E_TYPE_MISMATCH,
                     put_i4(in, L"Command", 1));
  g_check.expect_hex("Put of VT_UI1 into uint32 RequestDataSize", WBEM_E_TYPE_MISMATCH,
                     put_byte(in, L"RequestDataSize", 0));
  {
    Variant v;
    v.v.vt = VT_BSTR;
    v.v.bstrVal = SysAllocString(L"01");
    g_check.expect_hex("Put of VT_BSTR into uint8[] RequestData", WBEM_E_TYPE_MISMATCH,
                       in->Put(L"RequestData", 0, &v.v, 0));
  }
  g_check.expect_hex("Put of a system property", WBEM_E_READ_ONLY, put_i4(in, L"__GENUS", 2));
  {
    Variant v;
    v.v.vt = VT_UI1;
    v.v.bVal = 1;
    g_check.expect_hex("Put with a CIM type on an instance", WBEM_E_INVALID_PARAMETER,
                       in->Put(L"Command", 0, &v.v, CIM_UINT8));
  }
  put_byte(in, L"Command", kCmdGetDeviceId);
  put_byte(in, L"Lun", 0);
  put_byte(in, L"NetworkFunction", kNetfnApp);
  put_i4(in, L"RequestDataSize", 0);
  put_byte(in, L"ResponderAddress", ipmi::kBmcAddress);
  Bstr method(L"RequestResponse");
  g_check.expect_hex("ExecMethod without RequestData", WBEM_E_INVALID_METHOD_PARAMETERS,
                     s.services->ExecMethod(s.path, method, 0, nullptr, in, &out, nullptr));
  g_check.expect("... leaves no out-parameters", out == nullptr, "null", "an object");
  release(&out);
  {
    // WMI's Put documentation: an empty array may come as VT_ARRAY|VT_VARIANT.
    Variant v;
    v.v.vt = VT_ARRAY | VT_VARIANT;
    v.v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    g_check.expect_hex("Put of an empty VT_ARRAY|VT_VARIANT into RequestData", S_OK,
                       in->Put(L"RequestData", 0, &v.v, 0));
  }
  g_check.expect_hex("... then ExecMethod", S_OK,
                     s.services->ExecMethod(s.path, method, 0, nullptr, in, &out, nullptr));
  release(&out);
  put_i4(in, L"RequestDataSize", 2);
  g_check.expect_hex("RequestDataSize beyond RequestData", WBEM_E_INVALID_METHOD_PARAMETERS,
                     s.services->ExecMethod(s.path, method, 0, nullptr, in, &out, nullptr));
  put_i4(in, L"RequestDataSize", 0);
  Bstr class_path(L"Microsoft_IPMI");
  g_check.expect_hex("ExecMethod on the class path", WBEM_E_INVALID_METHOD_PARAMETERS,
                     s.services->ExecMethod(class_path, method, 0, nullptr, in, &out, nullptr));
  Bstr other(L"Microsoft_IPMI.InstanceName=\"ACPI\\\\IPI0001\\\\1_0\"");
  g_check.expect_hex("ExecMethod on another instance", WBEM_E_NOT_FOUND,
                     s.services->ExecMethod(other, method, 0, nullptr, in, &out, nullptr));
  Bstr bad_method(L"RequestResponseX");
  g_check.expect_hex("ExecMethod of an unknown method", WBEM_E_INVALID_METHOD,
                     s.services->ExecMethod(s.path, bad_method, 0, nullptr, in, &out, nullptr));
  release(&in);
  release(&in_class);

  // Namespaces, classes, query language.
  IWbemServices* svc = nullptr;
  Bstr lower(L"root\\wmi"), cimv2(L"ROOT\\CIMV2"), local(L"\\\\.\\root\\WMI");
  HRESULT hr =
      s.locator->ConnectServer(lower, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &svc);
  g_check.expect_hex("ConnectServer root\\wmi (letter case)", S_OK, hr);
  release(&svc);
  hr = s.locator->ConnectServer(local, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &svc);
  g_check.expect_hex("ConnectServer \\\\.\\root\\WMI", S_OK, hr);
  release(&svc);
  hr = s.locator->ConnectServer(cimv2, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &svc);
  g_check.expect_hex("ConnectServer ROOT\\CIMV2", WBEM_E_INVALID_NAMESPACE, hr);
  g_check.expect("... gives no namespace", svc == nullptr, "null", "an object");
  release(&svc);
  Bstr user(L"admin");
  hr = s.locator->ConnectServer(lower, user, nullptr, nullptr, 0, nullptr, nullptr, &svc);
  g_check.expect_hex("ConnectServer with a user, locally", WBEM_E_LOCAL_CREDENTIALS, hr);
  release(&svc);
  IEnumWbemClassObject* e = nullptr;
  Bstr wql(L"WQL"), wrong(L"SELECT * FROM Win32_Nothing"),
      where(L"SELECT InstanceName FROM Microsoft_IPMI WHERE Active = FALSE");
  g_check.expect_hex("ExecQuery of an unknown class", WBEM_E_INVALID_CLASS,
                     s.services->ExecQuery(wql, wrong, 0, nullptr, &e));
  release(&e);
  hr = s.services->ExecQuery(wql, wrong, WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &e);
  IWbemClassObject* o = nullptr;
  ULONG got = 0;
  HRESULT next = e ? e->Next(WBEM_INFINITE, 1, &o, &got) : E_FAIL;
  g_check.expect("... returning immediately: its Next fails",
                 hr == S_OK && next == static_cast<HRESULT>(WBEM_E_INVALID_CLASS) && got == 0,
                 "S_OK then WBEM_E_INVALID_CLASS", "other");
  release(&e);
  release(&o);
  hr = s.services->ExecQuery(wql, where, 0, nullptr, &e);
  got = 9;
  next = e ? e->Next(WBEM_INFINITE, 1, &o, &got) : E_FAIL;
  g_check.expect("WHERE Active = FALSE finds none", hr == S_OK && next == WBEM_S_FALSE && got == 0,
                 "S_OK, WBEM_S_FALSE, 0", "other");
  release(&e);
  release(&o);
  Bstr other_lang(L"CQL"), q(L"SELECT * FROM Microsoft_IPMI");
  g_check.expect_hex("a query language other than WQL", WBEM_E_INVALID_QUERY_TYPE,
                     s.services->ExecQuery(other_lang, q, 0, nullptr, &e));
  release(&e);
  IWbemClassObject* unknown_class = nullptr;
  Bstr nope(L"Win32_Nothing");
  g_check.expect_hex("GetObject of an unknown class", WBEM_E_NOT_FOUND,
                     s.services->GetObject(nope, 0, nullptr, &unknown_class, nullptr));
  release(&unknown_class);
  return g_check.finish();
}

// Service mode: report RUNNING, probe, report STOPPED.
SERVICE_STATUS_HANDLE g_status;
const char* g_service_out = nullptr;

void report(DWORD state) {
  SERVICE_STATUS st;
  std::memset(&st, 0, sizeof(st));
  st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  st.dwCurrentState = state;
  SetServiceStatus(g_status, &st);
}

DWORD WINAPI handler(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }

void WINAPI service_main(DWORD, LPSTR*) {
  g_status = RegisterServiceCtrlHandlerExA("wmifakecheck", handler, nullptr);
  report(SERVICE_RUNNING);
  // The service's own thread in the multithreaded apartment, as our library's.
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  FILE* out = std::fopen(g_service_out, "w");
  if (out != nullptr) {
    g_check.set_output(out);
    probe(0);
    std::fclose(out);
  }
  CoUninitialize();
  report(SERVICE_STOPPED);
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  if (std::strcmp(mode, "service") == 0 && argc > 2) {
    g_service_out = argv[2];
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>("wmifakecheck"), service_main},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
  }
  if (std::strcmp(mode, "sequence") != 0 && std::strcmp(mode, "probe") != 0) {
    std::fprintf(stderr, "usage: wmifake_check sequence | probe [MS] | service FILE\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int rc = std::strcmp(mode, "sequence") == 0
               ? sequence()
               : probe(argc > 2 ? static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)) : 0);
  CoUninitialize();
  return rc;
}
