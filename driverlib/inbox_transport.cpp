#include "driverlib/inbox_transport.h"

#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <cstring>
#include <new>

namespace qd4 {

namespace {

// The longest request and reply the channel carries; the watchdog's are 6
// and 8 bytes.
constexpr WORD kMaxRequest = 255;
constexpr ULONG kMaxReply = 1024;
// With no connect_timeout_ms in the settings: WMI's service may still be
// starting when an auto-start service opens its session at boot.
constexpr DWORD kDefaultOpenBoundMs = 10000;

}  // namespace

// What the caller and the COM thread share. Everything but the events and
// the reference count is guarded by lock.
struct InboxChannel {
  CRITICAL_SECTION lock;
  HANDLE work = nullptr;   // auto-reset: a request (or quit) is waiting
  HANDLE done = nullptr;   // manual: the request has an answer
  HANDLE ready = nullptr;  // manual: the COM thread finished starting
  LONG refs = 2;           // the transport and the COM thread
  DWORD open_bound_ms = kDefaultOpenBoundMs;
  DWORD open_status = kWmiFailed;
  bool quit = false;
  bool busy = false;  // a request is on the COM thread
  // The request.
  BYTE netfn = 0;
  BYTE lun = 0;
  BYTE command = 0;
  BYTE data[kMaxRequest] = {};
  WORD length = 0;
  // The answer.
  DWORD status = kOk;
  BYTE completion_code = 0xFF;
  BYTE reply[kMaxReply] = {};
  ULONG reply_length = 0;

  InboxChannel() { InitializeCriticalSection(&lock); }
  ~InboxChannel() {
    if (work != nullptr) CloseHandle(work);
    if (done != nullptr) CloseHandle(done);
    if (ready != nullptr) CloseHandle(ready);
    DeleteCriticalSection(&lock);
  }
  void release() {
    if (InterlockedDecrement(&refs) == 0) delete this;
  }
};

namespace {

template <typename T>
void release_com(T** p) {
  if (*p != nullptr) (*p)->Release();
  *p = nullptr;
}

bool is_access_denied(HRESULT hr) {
  return hr == static_cast<HRESULT>(WBEM_E_ACCESS_DENIED) || hr == E_ACCESSDENIED;
}

// Open's status for a failed step that looked for the driver's class or
// instance: absent, denied, or WMI itself failing.
DWORD lookup_status(HRESULT hr) {
  if (is_access_denied(hr)) return kAccessDenied;
  if (hr == static_cast<HRESULT>(WBEM_E_NOT_FOUND) ||
      hr == static_cast<HRESULT>(WBEM_E_INVALID_CLASS)) {
    return kDriverAbsent;
  }
  return kWmiFailed;
}

// An unsigned number out of the VARIANT types WMI uses for uint8 and uint32
// (VT_UI1, VT_I4), and their near relatives.
bool variant_number(const VARIANT& v, DWORD* out) {
  switch (v.vt) {
    case VT_UI1:
      *out = v.bVal;
      return true;
    case VT_I2:
      *out = static_cast<DWORD>(static_cast<WORD>(v.iVal));
      return true;
    case VT_UI2:
      *out = v.uiVal;
      return true;
    case VT_I4:
      *out = static_cast<DWORD>(v.lVal);
      return true;
    case VT_UI4:
      *out = v.ulVal;
      return true;
    default:
      return false;
  }
}

// Everything the COM thread holds; only that thread touches it.
class WmiClient {
 public:
  ~WmiClient() {
    if (path_ != nullptr) SysFreeString(path_);
    if (method_ != nullptr) SysFreeString(method_);
    release_com(&in_class_);
    release_com(&services_);
  }

  // Finds root\WMI's Microsoft_IPMI class, its RequestResponse method and
  // the active instance; returns Open's status.
  DWORD start(DWORD bound_ms) {
    IWbemLocator* locator = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWbemLocator, reinterpret_cast<void**>(&locator));
    if (FAILED(hr)) return kWmiFailed;
    BSTR ns = SysAllocString(L"ROOT\\WMI");
    hr = ns != nullptr ? locator->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                                &services_)
                       : E_OUTOFMEMORY;
    if (ns != nullptr) SysFreeString(ns);
    locator->Release();
    if (FAILED(hr)) return is_access_denied(hr) ? kAccessDenied : kWmiFailed;
    // The driver's provider acts for the caller: impersonation is needed.
    // An in-process object has no proxy to set, and refuses; that is fine.
    CoSetProxyBlanket(services_, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                      RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);

    BSTR class_name = SysAllocString(L"Microsoft_IPMI");
    method_ = SysAllocString(L"RequestResponse");
    if (class_name == nullptr || method_ == nullptr) {
      if (class_name != nullptr) SysFreeString(class_name);
      return kNoResources;
    }
    IWbemClassObject* class_object = nullptr;
    hr = services_->GetObject(class_name, 0, nullptr, &class_object, nullptr);
    if (FAILED(hr)) {
      SysFreeString(class_name);
      return lookup_status(hr);
    }
    hr = class_object->GetMethod(method_, 0, &in_class_, nullptr);
    class_object->Release();
    if (FAILED(hr) || in_class_ == nullptr) {
      SysFreeString(class_name);
      return FAILED(hr) ? lookup_status(hr) : kDriverAbsent;
    }
    DWORD status = find_active_instance(class_name, bound_ms);
    SysFreeString(class_name);
    return status;
  }

  // One RequestResponse; fills the channel's answer fields.
  void call(InboxChannel* ch) {
    ch->status = kSendFailed;
    ch->completion_code = 0xFF;
    ch->reply_length = 0;
    IWbemClassObject* in = nullptr;
    IWbemClassObject* out = nullptr;
    HRESULT hr = in_class_->SpawnInstance(0, &in);
    if (SUCCEEDED(hr)) hr = put_inputs(in, ch);
    if (SUCCEEDED(hr)) hr = services_->ExecMethod(path_, method_, 0, nullptr, in, &out, nullptr);
    if (FAILED(hr)) {
      if (is_access_denied(hr)) ch->status = kAccessDenied;
    } else if (out != nullptr && read_outputs(out, ch)) {
      ch->status = kOk;
    }
    release_com(&out);
    release_com(&in);
  }

 private:
  DWORD find_active_instance(BSTR class_name, DWORD bound_ms) {
    IEnumWbemClassObject* instances = nullptr;
    HRESULT hr = services_->CreateInstanceEnum(
        class_name, WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, nullptr, &instances);
    if (FAILED(hr)) return lookup_status(hr);
    CoSetProxyBlanket(instances, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                      RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    DWORD status = kDriverAbsent;
    for (;;) {
      IWbemClassObject* instance = nullptr;
      ULONG count = 0;
      hr = instances->Next(static_cast<LONG>(bound_ms), 1, &instance, &count);
      if (hr == static_cast<HRESULT>(WBEM_S_TIMEDOUT)) {
        status = kWmiFailed;
        break;
      }
      // WBEM_S_FALSE with no object: the driver has no (more) instances.
      if (FAILED(hr) || count == 0 || instance == nullptr) {
        if (FAILED(hr)) status = lookup_status(hr);
        break;
      }
      VARIANT active;
      VariantInit(&active);
      bool take = true;
      // An instance whose Active is false is a BMC the driver gave up on.
      if (SUCCEEDED(instance->Get(L"Active", 0, &active, nullptr, nullptr)) &&
          active.vt == VT_BOOL && active.boolVal == VARIANT_FALSE) {
        take = false;
      }
      VariantClear(&active);
      VARIANT path;
      VariantInit(&path);
      if (take && SUCCEEDED(instance->Get(L"__RELPATH", 0, &path, nullptr, nullptr)) &&
          path.vt == VT_BSTR && path.bstrVal != nullptr) {
        path_ = SysAllocString(path.bstrVal);
        status = path_ != nullptr ? kOk : kNoResources;
      }
      VariantClear(&path);
      instance->Release();
      if (path_ != nullptr || status == kNoResources) break;
    }
    instances->Release();
    return status;
  }

  static HRESULT put_byte(IWbemClassObject* in, LPCWSTR name, BYTE value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI1;  // WMI's VARIANT type for CIM uint8
    v.bVal = value;
    return in->Put(name, 0, &v, 0);
  }

  static HRESULT put_inputs(IWbemClassObject* in, InboxChannel* ch) {
    HRESULT hr = put_byte(in, L"Command", ch->command);
    if (SUCCEEDED(hr)) hr = put_byte(in, L"Lun", ch->lun);
    if (SUCCEEDED(hr)) hr = put_byte(in, L"NetworkFunction", ch->netfn);
    // IPMI 2.0 section 5.5, table 5-4: 20h is the BMC's slave address; the
    // library talks to the BMC only.
    if (SUCCEEDED(hr)) hr = put_byte(in, L"ResponderAddress", 0x20);
    if (FAILED(hr)) return hr;
    VARIANT size;
    VariantInit(&size);
    size.vt = VT_I4;  // WMI's VARIANT type for CIM uint32
    size.lVal = ch->length;
    hr = in->Put(L"RequestDataSize", 0, &size, 0);
    if (FAILED(hr)) return hr;
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, ch->length);
    if (bytes == nullptr) return E_OUTOFMEMORY;
    void* p = nullptr;
    if (ch->length > 0 && SUCCEEDED(SafeArrayAccessData(bytes, &p))) {
      std::memcpy(p, ch->data, ch->length);
      SafeArrayUnaccessData(bytes);
    }
    VARIANT data;
    VariantInit(&data);
    data.vt = VT_ARRAY | VT_UI1;
    data.parray = bytes;
    hr = in->Put(L"RequestData", 0, &data, 0);
    VariantClear(&data);
    return hr;
  }

  // CompletionCode, ResponseDataSize and ResponseData. The completion code is
  // also ResponseData's first byte, and ResponseDataSize counts it.
  static bool read_outputs(IWbemClassObject* out, InboxChannel* ch) {
    VARIANT cc;
    VARIANT size;
    VARIANT data;
    VariantInit(&cc);
    VariantInit(&size);
    VariantInit(&data);
    DWORD cc_value = 0;
    DWORD size_value = 0;
    // A completion code is one byte: a wider value is no reply to believe.
    bool ok = SUCCEEDED(out->Get(L"CompletionCode", 0, &cc, nullptr, nullptr)) &&
              variant_number(cc, &cc_value) && cc_value <= 0xFF &&
              SUCCEEDED(out->Get(L"ResponseDataSize", 0, &size, nullptr, nullptr)) &&
              variant_number(size, &size_value);
    ULONG n = 0;
    if (ok && size_value > 0) {
      ok = SUCCEEDED(out->Get(L"ResponseData", 0, &data, nullptr, nullptr)) &&
           data.vt == (VT_ARRAY | VT_UI1) && data.parray != nullptr &&
           SafeArrayGetDim(data.parray) == 1;
      if (ok) {
        LONG lo = 0;
        LONG hi = -1;
        SafeArrayGetLBound(data.parray, 1, &lo);
        SafeArrayGetUBound(data.parray, 1, &hi);
        ULONG have = hi >= lo ? static_cast<ULONG>(hi - lo + 1) : 0;
        n = size_value < have ? size_value : have;
        if (n > 1) {
          void* p = nullptr;
          ok = SUCCEEDED(SafeArrayAccessData(data.parray, &p));
          if (ok) {
            ULONG copy = n - 1 < kMaxReply ? n - 1 : kMaxReply;
            std::memcpy(ch->reply, static_cast<BYTE*>(p) + 1, copy);
            ch->reply_length = copy;
            SafeArrayUnaccessData(data.parray);
          }
        }
      }
    }
    VariantClear(&cc);
    VariantClear(&size);
    VariantClear(&data);
    if (ok) ch->completion_code = static_cast<BYTE>(cc_value);
    return ok;
  }

  IWbemServices* services_ = nullptr;
  IWbemClassObject* in_class_ = nullptr;
  BSTR path_ = nullptr;
  BSTR method_ = nullptr;
};

// The library's COM thread: a multithreaded apartment of its own, since the
// service has no message loop. It holds a reference on the DLL, so that a
// stalled call can return into loaded code after the session was closed.
DWORD WINAPI com_thread(void* arg) {
  InboxChannel* ch = static_cast<InboxChannel*>(arg);
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&com_thread),
                     &self);
  HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  WmiClient* client = nullptr;
  DWORD status = kWmiFailed;
  if (SUCCEEDED(init)) {
    client = new (std::nothrow) WmiClient;
    status = client != nullptr ? client->start(ch->open_bound_ms) : kNoResources;
  }
  EnterCriticalSection(&ch->lock);
  ch->open_status = status;
  SetEvent(ch->ready);
  LeaveCriticalSection(&ch->lock);

  while (status == kOk) {
    WaitForSingleObject(ch->work, INFINITE);
    EnterCriticalSection(&ch->lock);
    bool quit = ch->quit;
    bool busy = ch->busy;
    LeaveCriticalSection(&ch->lock);
    if (quit) break;
    if (!busy) continue;
    // The request fields stay put while busy: the caller only reads them.
    client->call(ch);
    EnterCriticalSection(&ch->lock);
    ch->busy = false;
    // Set under the lock: a caller that sees busy cleared also sees it set,
    // and resets it before its own request.
    SetEvent(ch->done);
    bool quit_now = ch->quit;
    LeaveCriticalSection(&ch->lock);
    if (quit_now) break;
  }
  delete client;
  if (SUCCEEDED(init)) CoUninitialize();
  ch->release();
  if (self != nullptr) FreeLibraryAndExitThread(self, 0);
  return 0;
}

}  // namespace

InboxTransport::InboxTransport(const Settings& settings) : settings_(settings) {
  InitializeCriticalSection(&call_lock_);
}

InboxTransport::~InboxTransport() {
  if (channel_ != nullptr) {
    EnterCriticalSection(&channel_->lock);
    channel_->quit = true;
    bool stalled = channel_->busy || WaitForSingleObject(channel_->ready, 0) != WAIT_OBJECT_0;
    SetEvent(channel_->work);
    LeaveCriticalSection(&channel_->lock);
    // An idle thread ends at once; one still starting or in a stalled call
    // ends when WMI returns, and must not hold up the close.
    if (thread_ != nullptr && !stalled) WaitForSingleObject(thread_, settings_.reply_timeout_ms);
    channel_->release();
  }
  if (thread_ != nullptr) CloseHandle(thread_);
  DeleteCriticalSection(&call_lock_);
}

DWORD InboxTransport::open() {
  InboxChannel* ch = new (std::nothrow) InboxChannel;
  if (ch == nullptr) return kNoResources;
  ch->work = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ch->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ch->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ch->open_bound_ms =
      settings_.connect_timeout_given ? settings_.connect_timeout_ms : kDefaultOpenBoundMs;
  if (ch->work == nullptr || ch->done == nullptr || ch->ready == nullptr) {
    delete ch;
    return kNoResources;
  }
  thread_ = CreateThread(nullptr, 0, com_thread, ch, 0, nullptr);
  if (thread_ == nullptr) {
    delete ch;
    return kNoResources;
  }
  channel_ = ch;
  // WMI's own calls while starting have no bound of ours; past this wait
  // Open gives up, and the thread ends by itself once they return.
  if (WaitForSingleObject(ch->ready, ch->open_bound_ms) != WAIT_OBJECT_0) return kWmiFailed;
  EnterCriticalSection(&ch->lock);
  DWORD status = ch->open_status;
  LeaveCriticalSection(&ch->lock);
  return status;
}

DWORD InboxTransport::transact(BYTE netfn_lun, BYTE command, const BYTE* data, WORD length,
                               BYTE* buffer, WORD* buffer_length, BYTE* completion_code) {
  if (length > kMaxRequest) return kBadArgument;
  InboxChannel* ch = channel_;
  EnterCriticalSection(&call_lock_);
  EnterCriticalSection(&ch->lock);
  if (ch->busy) {
    // The driver has not returned an earlier, overrun call: fail fast rather
    // than queue behind it.
    LeaveCriticalSection(&ch->lock);
    LeaveCriticalSection(&call_lock_);
    return kReplyTimeout;
  }
  // IPMI 2.0 section 5.1: the network function is the upper six bits of the
  // byte, the LUN the lower two; the driver takes them apart.
  ch->netfn = static_cast<BYTE>(netfn_lun >> 2);
  ch->lun = static_cast<BYTE>(netfn_lun & 0x03);
  ch->command = command;
  if (length > 0) std::memcpy(ch->data, data, length);
  ch->length = length;
  ch->busy = true;
  ResetEvent(ch->done);
  SetEvent(ch->work);
  LeaveCriticalSection(&ch->lock);

  WaitForSingleObject(ch->done, settings_.reply_timeout_ms);

  DWORD status = kReplyTimeout;
  EnterCriticalSection(&ch->lock);
  if (!ch->busy) {
    status = ch->status;
    if (status == kOk) {
      ULONG copy = ch->reply_length < *buffer_length ? ch->reply_length : *buffer_length;
      if (copy > 0) std::memcpy(buffer, ch->reply, copy);
      *buffer_length = static_cast<WORD>(copy);
      *completion_code = ch->completion_code;
    }
  }
  LeaveCriticalSection(&ch->lock);
  LeaveCriticalSection(&call_lock_);
  return status;
}

}  // namespace qd4
