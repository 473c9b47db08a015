// A WMI class or instance as IWbemClassObject gives it to a client: named,
// typed properties (CIM types with their VARIANT forms), WMI's system
// properties, and the methods of its class. Put is as strict as WMI's own
// object: an instance's properties are fixed, and each takes only the VARIANT
// type that WMI uses for its CIM type.
#pragma once

#include <wbemcli.h>
#include <windows.h>

#include <string>
#include <vector>

namespace wmifake {

// Gives the in- and out-parameter classes of a method by name (either may be
// null), or WBEM_E_NOT_FOUND.
using MethodLookup = HRESULT (*)(const wchar_t* method, IWbemClassObject** in,
                                 IWbemClassObject** out);

// Compares names as WMI does: without regard to case.
bool same_name(const wchar_t* a, const wchar_t* b);

class WbemObject final : public IWbemClassObject {
 public:
  // A class definition: __GENUS 1. __RELPATH and __PATH are set by the caller.
  static WbemObject* make_class(const wchar_t* class_name);

  // Adds a property (on a class: with its default value, VT_NULL for none).
  void add(const wchar_t* name, CIMTYPE type, bool key = false);
  void set(const wchar_t* name, const VARIANT& value);
  // Declares a property another type, its value cleared: a provider's bug.
  void retype(const wchar_t* name, CIMTYPE type);
  void set_paths(const std::wstring& relpath, const std::wstring& path, const wchar_t* server,
                 const wchar_t* name_space);
  void set_methods(MethodLookup lookup) { methods_ = lookup; }

  bool is_instance() const { return genus_ == 2; }
  const std::wstring& class_name() const { return class_name_; }
  // The value of a (non-system) property; null when there is no such property.
  const VARIANT* value(const wchar_t* name) const;

  // Our objects answer this private interface with themselves, so that the
  // provider can tell its own in-parameter objects from a stranger's.
  static const IID kIid;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IWbemClassObject
  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** set) override;
  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                LONG* flavor) override;
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override;
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR name) override;
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR qualifier_name, LONG flags, VARIANT* qualifier_value,
                                     SAFEARRAY** names) override;
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG enum_flags) override;
  HRESULT STDMETHODCALLTYPE Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type,
                                 LONG* flavor) override;
  HRESULT STDMETHODCALLTYPE EndEnumeration() override;
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR property,
                                                    IWbemQualifierSet** set) override;
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** copy) override;
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG flags, BSTR* text) override;
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG flags, IWbemClassObject** new_class) override;
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG flags, IWbemClassObject** instance) override;
  HRESULT STDMETHODCALLTYPE CompareTo(LONG flags, IWbemClassObject* other) override;
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR name, BSTR* class_name) override;
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR ancestor) override;
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in,
                                      IWbemClassObject** out) override;
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR name, LONG flags, IWbemClassObject* in,
                                      IWbemClassObject* out) override;
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR name) override;
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG enum_flags) override;
  HRESULT STDMETHODCALLTYPE NextMethod(LONG flags, BSTR* name, IWbemClassObject** in,
                                       IWbemClassObject** out) override;
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override;
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR method, IWbemQualifierSet** set) override;
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR method, BSTR* class_name) override;

 private:
  struct Property {
    std::wstring name;
    CIMTYPE type;
    bool key;
    VARIANT value;
  };

  WbemObject();
  ~WbemObject();
  WbemObject* copy() const;
  Property* find(const wchar_t* name);
  // A system property's value (VT_NULL where it has none); false when name is
  // no system property of ours.
  bool system_property(const wchar_t* name, VARIANT* value, CIMTYPE* type) const;

  LONG refs_ = 1;
  int genus_ = 1;
  std::wstring class_name_;
  std::wstring relpath_;
  std::wstring path_;
  std::wstring server_;
  std::wstring namespace_;
  std::vector<Property> properties_;
  MethodLookup methods_ = nullptr;
  // Property enumeration (BeginEnumeration/Next): position and flags; -1: none.
  long enum_pos_ = -1;
  LONG enum_flags_ = 0;
};

}  // namespace wmifake
