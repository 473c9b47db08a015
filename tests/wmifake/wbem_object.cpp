#include "wbem_object.h"

#include <oleauto.h>

#include <cwctype>

namespace wmifake {

namespace {

const wchar_t* const kSystemNames[] = {L"__GENUS", L"__CLASS",  L"__RELPATH",
                                       L"__PATH",  L"__SERVER", L"__NAMESPACE"};
constexpr long kSystemCount = sizeof(kSystemNames) / sizeof(kSystemNames[0]);

// The VARIANT type WMI uses for a CIM type: uint8 travels as VT_UI1, uint32
// (like sint32) as VT_I4, arrays as VT_ARRAY of the element's type.
VARTYPE variant_type(CIMTYPE type) {
  VARTYPE element = VT_NULL;
  switch (type & ~CIM_FLAG_ARRAY) {
    case CIM_UINT8:
      element = VT_UI1;
      break;
    case CIM_UINT32:
    case CIM_SINT32:
      element = VT_I4;
      break;
    case CIM_BOOLEAN:
      element = VT_BOOL;
      break;
    case CIM_STRING:
      element = VT_BSTR;
      break;
    default:
      break;
  }
  return static_cast<VARTYPE>((type & CIM_FLAG_ARRAY) ? (VT_ARRAY | element) : element);
}

// Only the types the IPMI class uses; a class Put of anything else is refused.
CIMTYPE cim_type(VARTYPE vt) {
  switch (vt) {
    case VT_UI1:
      return CIM_UINT8;
    case VT_I4:
      return CIM_SINT32;
    case VT_BOOL:
      return CIM_BOOLEAN;
    case VT_BSTR:
      return CIM_STRING;
    case VT_ARRAY | VT_UI1:
      return CIM_UINT8 | CIM_FLAG_ARRAY;
    default:
      return CIM_EMPTY;
  }
}

bool is_null(const VARIANT* v) { return v == nullptr || v->vt == VT_NULL || v->vt == VT_EMPTY; }

bool is_empty_variant_array(const VARIANT& v) {
  if (v.vt != (VT_ARRAY | VT_VARIANT) || v.parray == nullptr) return false;
  if (SafeArrayGetDim(v.parray) != 1) return false;
  LONG lo = 0;
  LONG hi = -1;
  SafeArrayGetLBound(v.parray, 1, &lo);
  SafeArrayGetUBound(v.parray, 1, &hi);
  return hi < lo;
}

// Copies v into *out when it is a value of the CIM type as WMI takes it.
HRESULT convert(CIMTYPE type, const VARIANT& v, VARIANT* out) {
  VariantInit(out);
  if (is_null(&v)) {
    out->vt = VT_NULL;
    return S_OK;
  }
  // WMI's documentation of Put: an empty array may be given as
  // VT_ARRAY|VT_VARIANT whatever the element type.
  if ((type & CIM_FLAG_ARRAY) && is_empty_variant_array(v)) {
    out->vt = variant_type(type);
    out->parray = SafeArrayCreateVector(static_cast<VARTYPE>(out->vt & ~VT_ARRAY), 0, 0);
    return out->parray ? S_OK : static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY);
  }
  if (v.vt != variant_type(type)) return WBEM_E_TYPE_MISMATCH;
  if ((v.vt & VT_ARRAY) && (v.parray == nullptr || SafeArrayGetDim(v.parray) != 1)) {
    return WBEM_E_TYPE_MISMATCH;
  }
  HRESULT hr = VariantCopy(out, const_cast<VARIANT*>(&v));
  return SUCCEEDED(hr) ? S_OK : static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY);
}

void set_string(VARIANT* v, const std::wstring& s) {
  VariantInit(v);
  if (s.empty()) {
    v->vt = VT_NULL;
  } else {
    v->vt = VT_BSTR;
    v->bstrVal = SysAllocString(s.c_str());
  }
}

}  // namespace

bool same_name(const wchar_t* a, const wchar_t* b) {
  if (a == nullptr || b == nullptr) return false;
  for (; *a && *b; ++a, ++b) {
    if (std::towupper(*a) != std::towupper(*b)) return false;
  }
  return *a == *b;
}

// {6C1B40E2-5D0A-4E5B-9F7A-3A1E2C4D5B60}: private to this DLL.
const IID WbemObject::kIid = {
    0x6c1b40e2, 0x5d0a, 0x4e5b, {0x9f, 0x7a, 0x3a, 0x1e, 0x2c, 0x4d, 0x5b, 0x60}};

WbemObject::WbemObject() = default;

WbemObject::~WbemObject() {
  for (auto& p : properties_) VariantClear(&p.value);
}

WbemObject* WbemObject::make_class(const wchar_t* class_name) {
  WbemObject* o = new WbemObject;
  o->class_name_ = class_name;
  return o;
}

void WbemObject::add(const wchar_t* name, CIMTYPE type, bool key) {
  Property p{name, type, key, VARIANT()};
  VariantInit(&p.value);
  p.value.vt = VT_NULL;
  properties_.push_back(p);
}

void WbemObject::set(const wchar_t* name, const VARIANT& value) {
  Property* p = find(name);
  if (p == nullptr) return;
  VARIANT v;
  if (SUCCEEDED(convert(p->type, value, &v))) {
    VariantClear(&p->value);
    p->value = v;
  }
}

void WbemObject::retype(const wchar_t* name, CIMTYPE type) {
  Property* p = find(name);
  if (p == nullptr) return;
  VariantClear(&p->value);
  p->value.vt = VT_NULL;
  p->type = type;
}

void WbemObject::set_paths(const std::wstring& relpath, const std::wstring& path,
                           const wchar_t* server, const wchar_t* name_space) {
  relpath_ = relpath;
  path_ = path;
  server_ = server;
  namespace_ = name_space;
}

const VARIANT* WbemObject::value(const wchar_t* name) const {
  for (const auto& p : properties_) {
    if (same_name(p.name.c_str(), name)) return &p.value;
  }
  return nullptr;
}

WbemObject::Property* WbemObject::find(const wchar_t* name) {
  for (auto& p : properties_) {
    if (same_name(p.name.c_str(), name)) return &p;
  }
  return nullptr;
}

bool WbemObject::system_property(const wchar_t* name, VARIANT* value, CIMTYPE* type) const {
  VariantInit(value);
  *type = CIM_STRING;
  if (same_name(name, L"__GENUS")) {
    *type = CIM_SINT32;
    value->vt = VT_I4;
    value->lVal = genus_;
  } else if (same_name(name, L"__CLASS")) {
    set_string(value, class_name_);
  } else if (same_name(name, L"__RELPATH")) {
    set_string(value, relpath_);
  } else if (same_name(name, L"__PATH")) {
    set_string(value, path_);
  } else if (same_name(name, L"__SERVER")) {
    set_string(value, server_);
  } else if (same_name(name, L"__NAMESPACE")) {
    set_string(value, namespace_);
  } else {
    return false;
  }
  return true;
}

WbemObject* WbemObject::copy() const {
  WbemObject* o = new WbemObject;
  o->genus_ = genus_;
  o->class_name_ = class_name_;
  o->relpath_ = relpath_;
  o->path_ = path_;
  o->server_ = server_;
  o->namespace_ = namespace_;
  o->methods_ = methods_;
  for (const auto& p : properties_) {
    Property q{p.name, p.type, p.key, VARIANT()};
    VariantInit(&q.value);
    VariantCopy(&q.value, const_cast<VARIANT*>(&p.value));
    o->properties_.push_back(q);
  }
  return o;
}

HRESULT WbemObject::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemClassObject) ||
      IsEqualIID(riid, kIid)) {
    *object = this;
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG WbemObject::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG WbemObject::Release() {
  LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT WbemObject::Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) {
  if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
  VARIANT v;
  CIMTYPE t;
  LONG origin = WBEM_FLAVOR_ORIGIN_LOCAL;
  if (system_property(name, &v, &t)) {
    origin = WBEM_FLAVOR_ORIGIN_SYSTEM;
  } else {
    Property* p = find(name);
    if (p == nullptr) return WBEM_E_NOT_FOUND;
    t = p->type;
    VariantInit(&v);
    if (FAILED(VariantCopy(&v, &p->value))) return WBEM_E_OUT_OF_MEMORY;
  }
  if (value != nullptr) {
    // WMI's contract: the caller's VARIANT is initialised, not cleared, first.
    *value = v;
  } else {
    VariantClear(&v);
  }
  if (type != nullptr) *type = t;
  if (flavor != nullptr) *flavor = origin;
  return WBEM_S_NO_ERROR;
}

HRESULT WbemObject::Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) {
  if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
  VARIANT ignored;
  CIMTYPE ignored_type;
  if (system_property(name, &ignored, &ignored_type)) {
    VariantClear(&ignored);
    return WBEM_E_READ_ONLY;  // all system properties are read-only
  }
  // On an instance the type is fixed: Type must be 0, even for a NULL value.
  if (is_instance() && type != 0) return WBEM_E_INVALID_PARAMETER;
  Property* p = find(name);
  if (p == nullptr) {
    // An instance's properties are those of its class: Put cannot create one.
    // WMI's documentation names no code for this; the fake answers as Get
    // does for an unknown name.
    if (is_instance()) return WBEM_E_NOT_FOUND;
    // A class definition gains the property; names with a leading or trailing
    // underscore are reserved for the system.
    size_t len = wcslen(name);
    if (len == 0 || name[0] == L'_' || name[len - 1] == L'_') return WBEM_E_INVALID_PARAMETER;
    CIMTYPE new_type = is_null(value) ? type : cim_type(value->vt);
    if (new_type == CIM_EMPTY || variant_type(new_type) == VT_NULL) {
      return WBEM_E_INVALID_PROPERTY_TYPE;
    }
    add(name, new_type);
    p = &properties_.back();
  } else if (type != 0 && type != p->type) {
    return WBEM_E_TYPE_MISMATCH;  // a class's existing property keeps its type
  }
  VARIANT null_value;
  VariantInit(&null_value);
  null_value.vt = VT_NULL;
  VARIANT v;
  HRESULT hr = convert(p->type, value ? *value : null_value, &v);
  if (FAILED(hr)) return hr;
  VariantClear(&p->value);
  p->value = v;
  return WBEM_S_NO_ERROR;
}

HRESULT WbemObject::BeginEnumeration(LONG enum_flags) {
  enum_pos_ = 0;
  enum_flags_ = enum_flags;
  return WBEM_S_NO_ERROR;
}

HRESULT WbemObject::Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) {
  if (flags != 0) return WBEM_E_INVALID_PARAMETER;
  if (enum_pos_ < 0) return WBEM_E_UNEXPECTED;
  const LONG origin = enum_flags_ & WBEM_MASK_CONDITION_ORIGIN;
  const bool keys_only = (enum_flags_ & WBEM_FLAG_KEYS_ONLY) != 0;
  const long total = kSystemCount + static_cast<long>(properties_.size());
  for (; enum_pos_ < total; ++enum_pos_) {
    bool system = enum_pos_ < kSystemCount;
    if (system && (origin == WBEM_FLAG_NONSYSTEM_ONLY || keys_only)) continue;
    if (!system && origin == WBEM_FLAG_SYSTEM_ONLY) continue;
    if (!system && keys_only && !properties_[enum_pos_ - kSystemCount].key) continue;
    const wchar_t* n =
        system ? kSystemNames[enum_pos_] : properties_[enum_pos_ - kSystemCount].name.c_str();
    ++enum_pos_;
    HRESULT hr = Get(n, 0, value, type, flavor);
    if (SUCCEEDED(hr) && name != nullptr) *name = SysAllocString(n);
    return hr;
  }
  return WBEM_S_NO_MORE_DATA;
}

HRESULT WbemObject::EndEnumeration() {
  enum_pos_ = -1;
  return WBEM_S_NO_ERROR;
}

HRESULT WbemObject::Clone(IWbemClassObject** out) {
  if (out == nullptr) return WBEM_E_INVALID_PARAMETER;
  *out = copy();
  return WBEM_S_NO_ERROR;
}

HRESULT WbemObject::SpawnInstance(LONG flags, IWbemClassObject** instance) {
  if (flags != 0 || instance == nullptr) return WBEM_E_INVALID_PARAMETER;
  if (is_instance()) return WBEM_E_INVALID_OPERATION;  // only a class spawns instances
  WbemObject* o = copy();
  o->genus_ = 2;
  // A new instance has no path until it is written.
  o->relpath_.clear();
  o->path_.clear();
  *instance = o;
  return WBEM_S_NO_ERROR;
}

HRESULT WbemObject::GetPropertyOrigin(LPCWSTR name, BSTR* class_name) {
  if (name == nullptr || class_name == nullptr) return WBEM_E_INVALID_PARAMETER;
  if (find(name) == nullptr) return WBEM_E_NOT_FOUND;
  *class_name = SysAllocString(class_name_.c_str());
  return WBEM_S_NO_ERROR;
}

HRESULT WbemObject::GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in,
                              IWbemClassObject** out) {
  if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
  if (in != nullptr) *in = nullptr;
  if (out != nullptr) *out = nullptr;
  if (methods_ == nullptr) return WBEM_E_NOT_FOUND;
  return methods_(name, in, out);
}

// What this fake does not model: the client of the IPMI class needs none of it.
HRESULT WbemObject::GetQualifierSet(IWbemQualifierSet**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WbemObject::Delete(LPCWSTR) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WbemObject::GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WbemObject::GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT WbemObject::GetObjectText(LONG, BSTR*) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WbemObject::SpawnDerivedClass(LONG, IWbemClassObject**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WbemObject::CompareTo(LONG, IWbemClassObject*) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WbemObject::InheritsFrom(LPCWSTR) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WbemObject::PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT WbemObject::DeleteMethod(LPCWSTR) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WbemObject::BeginMethodEnumeration(LONG) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WbemObject::NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT WbemObject::EndMethodEnumeration() { return WBEM_E_NOT_SUPPORTED; }
HRESULT WbemObject::GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT WbemObject::GetMethodOrigin(LPCWSTR, BSTR*) { return WBEM_E_NOT_SUPPORTED; }

}  // namespace wmifake
