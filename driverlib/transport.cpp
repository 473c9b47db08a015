#include "driverlib/transport.h"

#include <new>

#include "driverlib/inbox_transport.h"
#include "driverlib/vm_transport.h"

namespace qd4 {

Transport* make_transport(const Settings& settings) {
  if (settings.transport == TransportKind::kVm) return new (std::nothrow) VmTransport(settings);
  return new (std::nothrow) InboxTransport(settings);
}

}  // namespace qd4
