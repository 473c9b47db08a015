#!/usr/bin/env bash
# Installs the fake WMI provider into a Wine prefix: copies wmifake.dll into
# the prefix's system directory, writes wmifake.ini beside it and registers
# the DLL (regsvr32) as the in-process server of CLSID_WbemLocator, so that
# every process of the prefix, services included, gets the fake.
#
# usage: WINEPREFIX=... tests/wmifake/install.sh DLL BMC_PORT [SETTING]...
#   DLL       the wmifake.dll of the prefix's architecture (build/win32 or
#             build/win64 .../tests/wmifake/wmifake.dll)
#   BMC_PORT  bmcsim's VM-protocol port on 127.0.0.1
#   SETTING   further lines of wmifake.ini, e.g. "fault=no_instance"
# The prefix must exist and its wineserver may be running.
set -euo pipefail
[ $# -ge 2 ] || { sed -n '2,14p' "$0"; exit 2; }
: "${WINEPREFIX:?set WINEPREFIX}"
dll=$1
port=$2
shift 2
system32="$WINEPREFIX/drive_c/windows/system32"
[ -d "$system32" ] || { echo "no $system32: create the prefix first" >&2; exit 1; }
cp "$dll" "$system32/wmifake.dll"
{
  printf 'bmc=127.0.0.1:%s\r\n' "$port"
  for line in "$@"; do printf '%s\r\n' "$line"; done
} >"$system32/wmifake.ini"
wine regsvr32 /s 'C:\windows\system32\wmifake.dll' >/dev/null 2>&1 || {
  echo "regsvr32 of wmifake.dll failed" >&2
  exit 1
}
