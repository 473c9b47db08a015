#include "ipmi_model.h"

#include <oleauto.h>

#include "bmc_link.h"
#include "ipmi/ipmi.h"
#include "state.h"

namespace wmifake {

const wchar_t kClassName[] = L"Microsoft_IPMI";

namespace {

// The driver's WMI instance: the key is the device's instance name (the ACPI
// IPMI device, IPI0001) with WMI's "_0" suffix.
const wchar_t kInstanceName[] = L"ACPI\\IPI0001\\0_0";
// Longest request data the driver's message buffer takes (IPMI 2.0 section
// 9: KCS messages of up to 255 bytes).
constexpr LONG kMaxRequestData = 255;

const wchar_t kNamespace[] = L"root\\wmi";

std::wstring computer_name() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &n)) return L".";
  return std::wstring(name, n);
}

std::wstring instance_relpath() {
  // Object paths escape a backslash inside a quoted key as two.
  std::wstring r = std::wstring(kClassName) + L".InstanceName=\"";
  for (const wchar_t* p = kInstanceName; *p; ++p) {
    if (*p == L'\\' || *p == L'"') r += L'\\';
    r += *p;
  }
  return r + L"\"";
}

std::wstring full_path(const std::wstring& relpath) {
  return L"\\\\" + computer_name() + L"\\" + kNamespace + L":" + relpath;
}

WbemObject* make_parameters(bool in) {
  WbemObject* o = WbemObject::make_class(L"__PARAMETERS");
  if (in) {
    o->add(L"Command", CIM_UINT8);
    o->add(L"Lun", CIM_UINT8);
    o->add(L"NetworkFunction", CIM_UINT8);
    o->add(L"RequestData", CIM_UINT8 | CIM_FLAG_ARRAY);
    o->add(L"RequestDataSize", CIM_UINT32);
    o->add(L"ResponderAddress", CIM_UINT8);
  } else {
    o->add(L"CompletionCode", CIM_UINT8);
    o->add(L"ResponseData", CIM_UINT8 | CIM_FLAG_ARRAY);
    o->add(L"ResponseDataSize", CIM_UINT32);
  }
  return o;
}

HRESULT lookup_method(const wchar_t* method, IWbemClassObject** in, IWbemClassObject** out) {
  if (!same_name(method, L"RequestResponse")) return WBEM_E_NOT_FOUND;
  if (in != nullptr) *in = make_parameters(true);
  if (out != nullptr) *out = make_parameters(false);
  return WBEM_S_NO_ERROR;
}

bool is_ident(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
         c == L'_';
}

std::wstring slashes_to_backslashes(std::wstring s) {
  for (auto& c : s) {
    if (c == L'/') c = L'\\';
  }
  return s;
}

// A byte-sized in-parameter; false when it is missing (never Put, or NULL).
bool byte_param(WbemObject* in, const wchar_t* name, BYTE* out) {
  const VARIANT* v = in->value(name);
  if (v == nullptr || v->vt != VT_UI1) return false;
  *out = v->bVal;
  return true;
}

}  // namespace

WbemObject* make_ipmi_class() {
  WbemObject* c = WbemObject::make_class(kClassName);
  // Every class a WMI data provider publishes for a driver has the key
  // InstanceName and the flag Active; BMCAddress is the IPMI driver's own.
  c->add(L"InstanceName", CIM_STRING, true);
  c->add(L"Active", CIM_BOOLEAN);
  c->add(L"BMCAddress", CIM_UINT8);
  c->set_paths(kClassName, full_path(kClassName), computer_name().c_str(), kNamespace);
  c->set_methods(lookup_method);
  return c;
}

WbemObject* make_ipmi_instance(bool active) {
  WbemObject* c = make_ipmi_class();
  IWbemClassObject* spawned = nullptr;
  c->SpawnInstance(0, &spawned);
  c->Release();
  WbemObject* o = static_cast<WbemObject*>(spawned);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(kInstanceName);
  o->set(L"InstanceName", v);
  VariantClear(&v);
  v.vt = VT_BOOL;
  v.boolVal = active ? VARIANT_TRUE : VARIANT_FALSE;
  o->set(L"Active", v);
  v.vt = VT_UI1;
  v.bVal = ipmi::kBmcAddress;
  o->set(L"BMCAddress", v);
  std::wstring relpath = instance_relpath();
  o->set_paths(relpath, full_path(relpath), computer_name().c_str(), kNamespace);
  return o;
}

ParsedPath parse_path(const wchar_t* text) {
  ParsedPath result;
  if (text == nullptr) return result;
  std::wstring path = text;
  size_t pos = 0;
  // Optional \\server\namespace: or namespace: before the object.
  if (path.size() > 2 && (path[0] == L'\\' || path[0] == L'/') &&
      (path[1] == L'\\' || path[1] == L'/')) {
    size_t slash = path.find_first_of(L"\\/", 2);
    if (slash == std::wstring::npos) return result;
    std::wstring server = path.substr(2, slash - 2);
    if (server != L"." && !same_name(server.c_str(), L"localhost") &&
        !same_name(server.c_str(), computer_name().c_str())) {
      result.kind = PathKind::kOtherNamespace;
      return result;
    }
    pos = slash + 1;
  }
  size_t quote = path.find(L'"', pos);
  size_t colon = path.find(L':', pos);
  if (colon != std::wstring::npos && (quote == std::wstring::npos || colon < quote)) {
    std::wstring ns = slashes_to_backslashes(path.substr(pos, colon - pos));
    if (!same_name(ns.c_str(), kNamespace)) {
      result.kind = PathKind::kOtherNamespace;
      return result;
    }
    pos = colon + 1;
  } else if (pos != 0) {
    return result;  // a server without a namespace
  }
  size_t start = pos;
  while (pos < path.size() && is_ident(path[pos])) ++pos;
  if (pos == start) return result;
  result.class_name = path.substr(start, pos - start);
  if (pos == path.size()) {
    result.kind = PathKind::kClass;
    return result;
  }
  // Class.Key="value", or Class="value" for a class with a single key.
  if (path[pos] == L'.') {
    size_t key_start = ++pos;
    while (pos < path.size() && is_ident(path[pos])) ++pos;
    if (!same_name(path.substr(key_start, pos - key_start).c_str(), L"InstanceName")) {
      return result;
    }
  }
  if (pos + 1 >= path.size() || path[pos] != L'=' || path[pos + 1] != L'"') return result;
  pos += 2;
  std::wstring value;
  for (; pos < path.size() && path[pos] != L'"'; ++pos) {
    if (path[pos] == L'\\') {
      if (++pos == path.size()) return result;
    }
    value += path[pos];
  }
  if (pos + 1 != path.size()) return result;  // no closing quote, or text after it
  result.kind = PathKind::kInstance;
  result.key_value = value;
  return result;
}

bool is_our_instance(const ParsedPath& path) {
  return path.kind == PathKind::kInstance && same_name(path.class_name.c_str(), kClassName) &&
         same_name(path.key_value.c_str(), kInstanceName);
}

HRESULT request_response(const Settings& settings, IWbemClassObject* in_object,
                         IWbemClassObject** out) {
  // The method has in-parameters: WMI refuses a call without them.
  if (in_object == nullptr) return WBEM_E_INVALID_PARAMETER;
  WbemObject* in = nullptr;
  if (FAILED(in_object->QueryInterface(WbemObject::kIid, reinterpret_cast<void**>(&in)))) {
    log_line(settings, "ExecMethod: in-parameters not made by this provider");
    return WBEM_E_INVALID_PARAMETER;
  }
  BYTE command = 0, lun = 0, netfn = 0, responder = 0;
  bool complete = byte_param(in, L"Command", &command) && byte_param(in, L"Lun", &lun) &&
                  byte_param(in, L"NetworkFunction", &netfn) &&
                  byte_param(in, L"ResponderAddress", &responder);
  const VARIANT* data = in->value(L"RequestData");
  const VARIANT* size = in->value(L"RequestDataSize");
  complete = complete && data != nullptr && data->vt == (VT_ARRAY | VT_UI1) && size != nullptr &&
             size->vt == VT_I4;
  LONG count = 0;
  if (complete) {
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(data->parray, 1, &lo);
    SafeArrayGetUBound(data->parray, 1, &hi);
    count = hi - lo + 1;
  }
  in->Release();
  if (!complete) {
    log_line(settings, "ExecMethod: an in-parameter is missing");
    return WBEM_E_INVALID_METHOD_PARAMETERS;
  }
  // The driver takes RequestDataSize bytes of RequestData; more than the
  // array holds, a LUN beyond two bits (IPMI 2.0 section 5.1) or another
  // responder than the BMC it serves are refused.
  if (size->lVal < 0 || size->lVal > count || size->lVal > kMaxRequestData || lun > 3 ||
      netfn > ipmi::netfn_of(0xFF) || responder != ipmi::kBmcAddress) {
    log_line(settings, "ExecMethod: bad parameters (size %ld of %ld, lun %u, netfn %02x, rsa %02x)",
             static_cast<long>(size->lVal), static_cast<long>(count), lun, netfn, responder);
    return WBEM_E_INVALID_METHOD_PARAMETERS;
  }
  BYTE request[kMaxRequestData];
  if (size->lVal > 0) {
    void* raw = nullptr;
    if (FAILED(SafeArrayAccessData(data->parray, &raw))) return WBEM_E_FAILED;
    memcpy(request, raw, static_cast<size_t>(size->lVal));
    SafeArrayUnaccessData(data->parray);
  }
  char hex[2 * kMaxRequestData + 1] = "";
  for (LONG i = 0; i < size->lVal; ++i) {
    static const char digits[] = "0123456789abcdef";
    hex[2 * i] = digits[request[i] >> 4];
    hex[2 * i + 1] = digits[request[i] & 15];
    hex[2 * i + 2] = '\0';
  }

  BmcReply reply;
  DWORD link =
      bmc_transact(settings, netfn, lun, command, request, static_cast<size_t>(size->lVal), &reply);
  if (link != qd4::kOk) {
    // The driver's own timeout (Windows logs it as event 1003/1004) fails
    // the method; the fake does the same for a BMC it cannot reach.
    log_line(settings, "ExecMethod netfn=%02x lun=%u cmd=%02x data=%s -> no answer (%s)", netfn,
             lun, command, hex, link == qd4::kReplyTimeout ? "timeout" : "link down");
    return WBEM_E_FAILED;
  }
  log_line(settings, "ExecMethod netfn=%02x lun=%u cmd=%02x data=%s -> cc=%02x len=%u", netfn, lun,
           command, hex, reply.completion_code, static_cast<unsigned>(reply.length));
  if (out == nullptr) return WBEM_S_NO_ERROR;

  IWbemClassObject* out_class = make_parameters(false);
  IWbemClassObject* result = nullptr;
  out_class->SpawnInstance(0, &result);
  out_class->Release();
  WbemObject* o = static_cast<WbemObject*>(result);
  // The completion code is also ResponseData's first byte, and
  // ResponseDataSize counts it (Microsoft's RequestResponse documentation).
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UI1;
  v.bVal = reply.completion_code;
  o->set(L"CompletionCode", v);
  v.vt = VT_I4;
  v.lVal = static_cast<LONG>(reply.length + 1);
  o->set(L"ResponseDataSize", v);
  v.vt = VT_ARRAY | VT_UI1;
  v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(reply.length + 1));
  if (v.parray == nullptr) {
    result->Release();
    return WBEM_E_OUT_OF_MEMORY;
  }
  BYTE* bytes = nullptr;
  SafeArrayAccessData(v.parray, reinterpret_cast<void**>(&bytes));
  bytes[0] = reply.completion_code;
  if (reply.length > 0) memcpy(bytes + 1, reply.data, reply.length);
  SafeArrayUnaccessData(v.parray);
  o->set(L"ResponseData", v);
  VariantClear(&v);
  *out = result;
  return WBEM_S_NO_ERROR;
}

}  // namespace wmifake
