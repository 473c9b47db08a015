// The COM side: the class factory that CoCreateInstance(CLSID_WbemLocator)
// reaches once the locator's InprocServer32 names this DLL, the locator, the
// root\WMI namespace and its enumerators, and the DLL's exports.
#include <objidl.h>
#include <oleauto.h>
#include <olectl.h>
#include <wbemcli.h>
#include <windows.h>

#include <vector>

#include "ipmi_model.h"
#include "state.h"

namespace wmifake {

namespace {

bool is_wql(const wchar_t* language) { return same_name(language, L"WQL"); }

// Blocks for the fault's time, or (time 0) until the settings file names
// another fault.
void wait_out(const Settings& s, Fault fault) {
  DWORD start = GetTickCount();
  for (;;) {
    Sleep(50);
    if (s.fault_arg != 0) {
      if (GetTickCount() - start >= s.fault_arg) return;
    } else if (load_settings().fault != fault) {
      return;
    }
  }
}

std::wstring upper(const wchar_t* text) {
  std::wstring s = text ? text : L"";
  for (auto& c : s) c = static_cast<wchar_t>(towupper(c));
  return s;
}

// What CoSetProxyBlanket needs: it asks the object for IClientSecurity and
// calls SetBlanket, and fails with E_NOINTERFACE on an in-process object
// without it. On Windows the namespace is a proxy to the WMI service, which
// has it (and Wine's own WMI objects succeed too), so the fake answers it,
// records the blanket and reports success.
class Blanket : public IClientSecurity {
 public:
  explicit Blanket(IUnknown* owner) : owner_(owner) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return owner_->QueryInterface(riid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }
  HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD* authn, DWORD* authz, OLECHAR** principal,
                                         DWORD* level, DWORD* impersonation, void** auth_info,
                                         DWORD* capabilities) override {
    if (authn) *authn = authn_;
    if (authz) *authz = authz_;
    if (principal) *principal = nullptr;
    if (level) *level = level_;
    if (impersonation) *impersonation = impersonation_;
    if (auth_info) *auth_info = nullptr;
    if (capabilities) *capabilities = capabilities_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authn, DWORD authz, OLECHAR*, DWORD level,
                                       DWORD impersonation, void*, DWORD capabilities) override {
    authn_ = authn;
    authz_ = authz;
    level_ = level;
    impersonation_ = impersonation;
    capabilities_ = capabilities;
    log_line(load_settings(), "SetBlanket authn=%lu authz=%lu level=%lu impersonation=%lu",
             static_cast<unsigned long>(authn), static_cast<unsigned long>(authz),
             static_cast<unsigned long>(level), static_cast<unsigned long>(impersonation));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown* proxy, IUnknown** copy) override {
    if (proxy == nullptr || copy == nullptr) return E_INVALIDARG;
    return proxy->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(copy));
  }

 private:
  IUnknown* owner_;
  DWORD authn_ = RPC_C_AUTHN_WINNT;
  DWORD authz_ = RPC_C_AUTHZ_NONE;
  DWORD level_ = RPC_C_AUTHN_LEVEL_CONNECT;
  DWORD impersonation_ = RPC_C_IMP_LEVEL_IDENTIFY;
  DWORD capabilities_ = EOAC_NONE;
};

// The answer of CreateInstanceEnum or ExecQuery: the instances, or an error
// that WMI reports through Next when the call returned at once.
class Enumerator final : public IEnumWbemClassObject {
 public:
  // The results are there `delay_ms` after now.
  Enumerator(std::vector<IWbemClassObject*> objects, HRESULT error, DWORD delay_ms = 0)
      : objects_(objects), error_(error), ready_at_(GetTickCount() + delay_ms), blanket_(this) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumWbemClassObject)) {
      *object = static_cast<IEnumWbemClassObject*>(this);
    } else if (IsEqualIID(riid, IID_IClientSecurity)) {
      *object = &blanket_;
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    pos_ = 0;
    return WBEM_S_NO_ERROR;
  }
  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                 ULONG* returned) override {
    if (objects == nullptr || returned == nullptr ||
        (timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE))) {
      return WBEM_E_INVALID_PARAMETER;
    }
    *returned = 0;
    // Results not there yet: wait for them, or as long as the caller allows.
    LONG wait = static_cast<LONG>(ready_at_ - GetTickCount());
    if (wait > 0) {
      if (timeout != static_cast<LONG>(WBEM_INFINITE) && timeout < wait) {
        Sleep(static_cast<DWORD>(timeout));
        return WBEM_S_TIMEDOUT;
      }
      Sleep(static_cast<DWORD>(wait));
    }
    if (FAILED(error_)) return error_;
    while (*returned < count && pos_ < objects_.size()) {
      objects_[pos_]->AddRef();
      objects[(*returned)++] = objects_[pos_++];
    }
    // Fewer than asked for: WBEM_S_FALSE (a count of 0 means none left).
    return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** copy) override {
    if (copy == nullptr) return WBEM_E_INVALID_PARAMETER;
    for (auto* o : objects_) o->AddRef();
    Enumerator* e = new Enumerator(objects_, error_);
    e->pos_ = pos_;
    e->ready_at_ = ready_at_;
    *copy = e;
    return WBEM_S_NO_ERROR;
  }
  HRESULT STDMETHODCALLTYPE Skip(LONG timeout, ULONG count) override {
    if (timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE)) return WBEM_E_INVALID_PARAMETER;
    if (FAILED(error_)) return error_;
    size_t left = objects_.size() - pos_;
    size_t n = count < left ? count : left;
    pos_ += n;
    return n == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

 private:
  ~Enumerator() {
    for (auto* o : objects_) o->Release();
  }
  LONG refs_ = 1;
  std::vector<IWbemClassObject*> objects_;
  size_t pos_ = 0;
  HRESULT error_;
  DWORD ready_at_;
  Blanket blanket_;
};

// root\WMI as far as the IPMI driver's class goes.
class Services final : public IWbemServices {
 public:
  Services() : blanket_(this) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemServices)) {
      *object = static_cast<IWbemServices*>(this);
    } else if (IsEqualIID(riid, IID_IClientSecurity)) {
      *object = &blanket_;
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG flags, IWbemContext*,
                                      IWbemClassObject** object,
                                      IWbemCallResult** call_result) override {
    Settings s = load_settings();
    HRESULT hr = get_object(s, path, flags, object, call_result);
    log_line(s, "GetObject %s -> 0x%08lx", narrow(path).c_str(), static_cast<unsigned long>(hr));
    return hr;
  }

  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR filter, LONG flags, IWbemContext*,
                                               IEnumWbemClassObject** result) override {
    Settings s = load_settings();
    if (filter == nullptr || result == nullptr) return WBEM_E_INVALID_PARAMETER;
    HRESULT hr = enumerate(s, filter, flags, result);
    log_line(s, "CreateInstanceEnum %s flags=0x%lx -> 0x%08lx", narrow(filter).c_str(),
             static_cast<unsigned long>(flags), static_cast<unsigned long>(hr));
    return hr;
  }

  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags,
                                      IWbemContext*, IEnumWbemClassObject** result) override {
    Settings s = load_settings();
    HRESULT hr = exec_query(s, language, query, flags, result);
    log_line(s, "ExecQuery %s flags=0x%lx -> 0x%08lx", narrow(query).c_str(),
             static_cast<unsigned long>(flags), static_cast<unsigned long>(hr));
    return hr;
  }

  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR method, LONG flags,
                                       IWbemContext*, IWbemClassObject* in, IWbemClassObject** out,
                                       IWbemCallResult** call_result) override {
    Settings s = load_settings();
    if (out != nullptr) *out = nullptr;
    HRESULT hr = exec_method(s, path, method, flags, in, out, call_result);
    log_line(s, "ExecMethod %s %s -> 0x%08lx", narrow(path).c_str(), narrow(method).c_str(),
             static_cast<unsigned long>(hr));
    return hr;
  }

  // The rest of IWbemServices: the IPMI driver's client needs none of it.
  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                          IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*,
                                           IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*,
                                     IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*,
                                          IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*,
                                        IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*,
                                            IEnumWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*,
                                                 IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*,
                                        IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*,
                                           IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*,
                                                IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                    IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                           IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                  IEnumWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                       IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                            IWbemClassObject*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

 private:
  ~Services() = default;

  HRESULT get_object(const Settings& s, const BSTR path, LONG flags, IWbemClassObject** object,
                     IWbemCallResult** call_result) {
    if (object == nullptr) return WBEM_E_INVALID_PARAMETER;
    *object = nullptr;
    // Semisynchronous calls hand back a call result object: not modelled.
    if (call_result != nullptr || (flags & WBEM_FLAG_RETURN_IMMEDIATELY)) {
      return WBEM_E_NOT_SUPPORTED;
    }
    ParsedPath p = parse_path(path);
    if (p.kind == PathKind::kOtherNamespace) return WBEM_E_INVALID_NAMESPACE;
    if (p.kind == PathKind::kInvalid) return WBEM_E_INVALID_OBJECT_PATH;
    // Without the driver its class is not in the repository either.
    if (!same_name(p.class_name.c_str(), kClassName) || fault_acts(s, Fault::kNoClass)) {
      return WBEM_E_NOT_FOUND;
    }
    if (p.kind == PathKind::kClass) {
      *object = make_ipmi_class();
      return WBEM_S_NO_ERROR;
    }
    if (fault_acts(s, Fault::kAccessDenied)) return WBEM_E_ACCESS_DENIED;
    if (!is_our_instance(p) || fault_acts(s, Fault::kNoInstance)) return WBEM_E_NOT_FOUND;
    *object = make_ipmi_instance(!fault_acts(s, Fault::kInactive));
    return WBEM_S_NO_ERROR;
  }

  // The instances of the class, as CreateInstanceEnum and ExecQuery give
  // them; `active_filter` is 1 or 0 for a WHERE Active = TRUE or FALSE, -1
  // for none.
  HRESULT instances(const Settings& s, const wchar_t* class_name, LONG flags, int active_filter,
                    IEnumWbemClassObject** result) {
    HRESULT error = WBEM_S_NO_ERROR;
    std::vector<IWbemClassObject*> found;
    if (!same_name(class_name, kClassName) || fault_acts(s, Fault::kNoClass)) {
      error = WBEM_E_INVALID_CLASS;
    } else if (fault_acts(s, Fault::kAccessDenied)) {
      // The driver's data block admits administrators and LocalSystem only.
      error = WBEM_E_ACCESS_DENIED;
    } else if (!fault_acts(s, Fault::kNoInstance)) {
      bool active = !fault_acts(s, Fault::kInactive);
      if (active_filter < 0 || active_filter == (active ? 1 : 0)) {
        found.push_back(make_ipmi_instance(active));
      }
    }
    // With WBEM_FLAG_RETURN_IMMEDIATELY the call only starts the work: a slow
    // provider delays Next, and a failure shows in Next.
    DWORD delay = fault_acts(s, Fault::kSlowEnum) ? s.fault_arg : 0;
    if (!(flags & WBEM_FLAG_RETURN_IMMEDIATELY)) {
      Sleep(delay);
      delay = 0;
      if (FAILED(error)) return error;
    }
    *result = new Enumerator(found, error, delay);
    return WBEM_S_NO_ERROR;
  }

  HRESULT enumerate(const Settings& s, const BSTR filter, LONG flags,
                    IEnumWbemClassObject** result) {
    *result = nullptr;
    return instances(s, filter, flags, -1, result);
  }

  // WQL as far as a client of the IPMI class needs it:
  // SELECT * | names FROM class [WHERE Active = TRUE | FALSE].
  HRESULT exec_query(const Settings& s, const BSTR language, const BSTR query, LONG flags,
                     IEnumWbemClassObject** result) {
    if (language == nullptr || query == nullptr || result == nullptr) {
      return WBEM_E_INVALID_PARAMETER;
    }
    *result = nullptr;
    if (!is_wql(language)) return WBEM_E_INVALID_QUERY_TYPE;
    std::vector<std::wstring> words;
    std::wstring word;
    for (const wchar_t* p = query;; ++p) {
      wchar_t c = *p;
      bool separator = c == 0 || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
      if (c == L'=' || c == L',') {
        if (!word.empty()) words.push_back(word);
        word.clear();
        words.push_back(std::wstring(1, c));
      } else if (separator) {
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word += c;
      }
      if (c == 0) break;
    }
    if (words.empty() || upper(words[0].c_str()) != L"SELECT") return WBEM_E_INVALID_QUERY;
    size_t i = 1;
    while (i < words.size() && upper(words[i].c_str()) != L"FROM") ++i;
    if (i == 1 || i + 1 >= words.size()) return WBEM_E_INVALID_QUERY;
    const std::wstring& class_name = words[i + 1];
    int active_filter = -1;
    if (i + 2 < words.size()) {
      if (i + 6 != words.size() || upper(words[i + 2].c_str()) != L"WHERE" ||
          !same_name(words[i + 3].c_str(), L"Active") || words[i + 4] != L"=") {
        return WBEM_E_INVALID_QUERY;
      }
      std::wstring v = upper(words[i + 5].c_str());
      if (v != L"TRUE" && v != L"FALSE") return WBEM_E_INVALID_QUERY;
      active_filter = v == L"TRUE" ? 1 : 0;
    }
    return instances(s, class_name.c_str(), flags, active_filter, result);
  }

  HRESULT exec_method(const Settings& s, const BSTR path, const BSTR method, LONG flags,
                      IWbemClassObject* in, IWbemClassObject** out, IWbemCallResult** call_result) {
    if (path == nullptr || method == nullptr) return WBEM_E_INVALID_PARAMETER;
    if (call_result != nullptr || (flags & WBEM_FLAG_RETURN_IMMEDIATELY)) {
      return WBEM_E_NOT_SUPPORTED;
    }
    ParsedPath p = parse_path(path);
    if (p.kind == PathKind::kOtherNamespace) return WBEM_E_INVALID_NAMESPACE;
    if (p.kind == PathKind::kInvalid) return WBEM_E_INVALID_OBJECT_PATH;
    if (!same_name(p.class_name.c_str(), kClassName) || fault_acts(s, Fault::kNoClass)) {
      return WBEM_E_INVALID_CLASS;
    }
    if (!same_name(method, L"RequestResponse")) return WBEM_E_INVALID_METHOD;
    // RequestResponse is no static method: it needs the instance's path.
    if (p.kind == PathKind::kClass) return WBEM_E_INVALID_METHOD_PARAMETERS;
    if (fault_acts(s, Fault::kAccessDenied)) return WBEM_E_ACCESS_DENIED;
    if (!is_our_instance(p) || fault_acts(s, Fault::kNoInstance)) return WBEM_E_NOT_FOUND;
    if (fault_acts(s, Fault::kExecFail)) return static_cast<HRESULT>(s.fault_arg);
    // A driver that does not complete the request; ExecMethod has no
    // timeout of its own.
    if (fault_acts(s, Fault::kStall)) {
      log_line(s, "ExecMethod stalls %lu ms", static_cast<unsigned long>(s.fault_arg));
      wait_out(s, Fault::kStall);
      return WBEM_E_FAILED;
    }
    HRESULT hr = request_response(s, in, out);
    if (SUCCEEDED(hr) && fault_acts(s, Fault::kWideCc)) set_wide_cc(*out);
    return hr;
  }

  // A CompletionCode wider than its byte: a reply not to be believed.
  static void set_wide_cc(IWbemClassObject* out) {
    WbemObject* o = nullptr;
    if (FAILED(out->QueryInterface(WbemObject::kIid, reinterpret_cast<void**>(&o)))) return;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = 0x1C0;
    o->retype(L"CompletionCode", CIM_SINT32);
    o->set(L"CompletionCode", v);
    o->Release();
  }

  LONG refs_ = 1;
  Blanket blanket_;
};

class Locator final : public IWbemLocator {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemLocator)) {
      *object = static_cast<IWbemLocator*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user, const BSTR password,
                                          const BSTR, LONG, const BSTR, IWbemContext*,
                                          IWbemServices** services) override {
    Settings s = load_settings();
    HRESULT hr = connect(s, resource, user, password, services);
    log_line(s, "ConnectServer %s -> 0x%08lx", narrow(resource).c_str(),
             static_cast<unsigned long>(hr));
    return hr;
  }

 private:
  ~Locator() = default;

  static HRESULT connect(const Settings& s, const BSTR resource, const BSTR user,
                         const BSTR password, IWbemServices** services) {
    if (services == nullptr || resource == nullptr) return WBEM_E_INVALID_PARAMETER;
    *services = nullptr;
    // Winmgmt disabled: the in-process locator loads, the connection fails
    // with the service manager's ERROR_SERVICE_DISABLED.
    if (fault_acts(s, Fault::kWmiDown)) return HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED);
    // A namespace's security refusing the caller: DCOM's access denied.
    if (fault_acts(s, Fault::kConnectDenied)) return E_ACCESSDENIED;
    // The WMI service still starting (as at boot): ConnectServer waits for it.
    if (fault_acts(s, Fault::kSlowConnect)) wait_out(s, Fault::kSlowConnect);
    std::wstring ns = resource;
    for (auto& c : ns) {
      if (c == L'/') c = L'\\';
    }
    if (ns.size() > 2 && ns[0] == L'\\' && ns[1] == L'\\') {
      size_t slash = ns.find(L'\\', 2);
      if (slash == std::wstring::npos) return WBEM_E_INVALID_NAMESPACE;
      std::wstring server = ns.substr(2, slash - 2);
      if (server != L"." && !same_name(server.c_str(), L"localhost")) {
        // Other machines are out of the fake's reach.
        return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
      }
      ns = ns.substr(slash + 1);
    }
    if (!same_name(ns.c_str(), L"ROOT\\WMI")) return WBEM_E_INVALID_NAMESPACE;
    // WMI refuses a user name or password on a local connection.
    if ((user != nullptr && user[0] != 0) || (password != nullptr && password[0] != 0)) {
      return WBEM_E_LOCAL_CREDENTIALS;
    }
    *services = new Services;
    return WBEM_S_NO_ERROR;
  }

  LONG refs_ = 1;
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // One static factory: its count does not matter.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    // A damaged WMI installation: CoCreateInstance answers as for a class
    // that nobody registered.
    Settings s = load_settings();
    if (fault_acts(s, Fault::kNoLocator)) {
      log_line(s, "CoCreateInstance refused");
      return REGDB_E_CLASSNOTREG;
    }
    Locator* locator = new Locator;
    HRESULT hr = locator->QueryInterface(riid, object);
    locator->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

// HKLM\Software\Classes\CLSID\{WbemLocator}\InprocServer32: the DLL COM
// loads for CLSID_WbemLocator, and its threading model ("Both", as WMI's
// own, so that a client in the multithreaded apartment gets the object
// itself and no proxy).
const wchar_t kInprocKey[] =
    L"Software\\Classes\\CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";

HRESULT write_inproc_server(const wchar_t* dll_path) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInprocKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return SELFREG_E_CLASS;
  }
  static const wchar_t kBoth[] = L"Both";
  LONG rc = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(dll_path),
                           static_cast<DWORD>((wcslen(dll_path) + 1) * sizeof(wchar_t)));
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(kBoth),
                        sizeof(kBoth));
  }
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

}  // namespace

}  // namespace wmifake

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wmifake::g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_WbemLocator)) return CLASS_E_CLASSNOTAVAILABLE;
  return wmifake::g_factory.QueryInterface(riid, object);
}

// The fake stays loaded once used: its one connection to bmcsim lives in it.
STDAPI DllCanUnloadNow() { return S_FALSE; }

// regsvr32: makes this DLL the prefix's WMI locator.
STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(wmifake::g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return SELFREG_E_CLASS;
  return wmifake::write_inproc_server(path);
}

// regsvr32 /u: gives the locator back to WMI's own DLL.
STDAPI DllUnregisterServer() {
  wchar_t path[MAX_PATH];
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  static const wchar_t kWbemprox[] = L"\\wbem\\wbemprox.dll";
  if (n == 0 || n + wcslen(kWbemprox) >= MAX_PATH) return SELFREG_E_CLASS;
  wcscat(path, kWbemprox);
  return wmifake::write_inproc_server(path);
}
