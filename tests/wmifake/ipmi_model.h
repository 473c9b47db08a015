// What Windows' IPMI driver publishes in root\WMI: the class Microsoft_IPMI,
// its one instance per BMC, and the method RequestResponse, which the fake
// carries out by forwarding the request to bmcsim.
#pragma once

#include <wbemcli.h>
#include <windows.h>

#include <string>

#include "fake_settings.h"
#include "wbem_object.h"

namespace wmifake {

extern const wchar_t kClassName[];  // "Microsoft_IPMI"

// The class definition, and the instance (Active as given).
WbemObject* make_ipmi_class();
WbemObject* make_ipmi_instance(bool active);

// What an object path names: the class alone, or an instance by its key.
enum class PathKind { kInvalid, kOtherNamespace, kClass, kInstance };
struct ParsedPath {
  PathKind kind = PathKind::kInvalid;
  std::wstring class_name;
  std::wstring key_value;
};
ParsedPath parse_path(const wchar_t* path);
// True when the key names the driver's instance.
bool is_our_instance(const ParsedPath& path);

// RequestResponse with the in-parameters object `in`; the out-parameters
// object, or an error HRESULT.
HRESULT request_response(const Settings& settings, IWbemClassObject* in, IWbemClassObject** out);

}  // namespace wmifake
