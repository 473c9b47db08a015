#include "bmc_link.h"

#include <cstring>
#include <new>

#include "driverlib/vm_transport.h"

namespace wmifake {

namespace {

struct Link {
  Link() { InitializeCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  qd4::VmTransport* transport = nullptr;
  qd4::Settings settings;
};

Link& link() {
  static Link instance;
  return instance;
}

bool same_link(const qd4::Settings& a, const qd4::Settings& b) {
  return a.port == b.port && a.reply_timeout_ms == b.reply_timeout_ms &&
         std::strcmp(a.host, b.host) == 0;
}

bool lost(DWORD status) { return status == qd4::kSendFailed || status == qd4::kConnectionLost; }

}  // namespace

DWORD bmc_transact(const Settings& settings, BYTE netfn, BYTE lun, BYTE command, const BYTE* data,
                   size_t length, BmcReply* reply) {
  Link* l = &link();
  EnterCriticalSection(&l->lock);
  if (l->transport != nullptr && !same_link(l->settings, settings.link)) {
    delete l->transport;
    l->transport = nullptr;
  }
  bool was_open = l->transport != nullptr;
  DWORD status = qd4::kOk;
  if (!was_open) {
    l->settings = settings.link;
    l->transport = new (std::nothrow) qd4::VmTransport(settings.link);
    status = l->transport == nullptr ? qd4::kNoResources : l->transport->open();
    if (status != qd4::kOk) {
      delete l->transport;
      l->transport = nullptr;
    }
  }
  // IPMI 2.0 section 5.1: the netfn in the upper six bits, the LUN in the lower two.
  const BYTE netfn_lun = static_cast<BYTE>((netfn << 2) | (lun & 0x03));
  auto send = [&]() {
    WORD got = sizeof(reply->data);
    DWORD result = l->transport->transact(netfn_lun, command, data, static_cast<WORD>(length),
                                          reply->data, &got, &reply->completion_code);
    reply->length = got;
    return result;
  };
  if (status == qd4::kOk) status = send();
  // The TCP connection is the simulation's, not the driver's (a system
  // interface has none to lose): a request that found it broken is sent
  // once more on a new one.
  if (was_open && lost(status)) status = send();
  LeaveCriticalSection(&l->lock);
  return status;
}

}  // namespace wmifake
