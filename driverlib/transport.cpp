#include "driverlib/transport.h"

#include <new>

#include "driverlib/vm_transport.h"

namespace qd4 {

Transport* make_transport(const Settings& settings) {
  return new (std::nothrow) VmTransport(settings);
}

}  // namespace qd4
