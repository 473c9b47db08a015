#include "packaging/msi_log.h"

#include <msiquery.h>

void log_line(MSIHANDLE install, const char* text) {
  MSIHANDLE record = MsiCreateRecord(0);
  if (!record) return;
  MsiRecordSetStringA(record, 0, text);
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}
