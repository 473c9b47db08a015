#!/usr/bin/env bash
# Builds the Windows Installer package from vyriasrw.wxs with wixl, then adds
# the rows wixl cannot write (post_wixl.sql) with msibuild.
#
# usage: build_msi.sh x86|x64 WINDOWS_BUILD_DIR OUTPUT.msi [VERSION]
#   x86 is the shipped package (build/win32); x64 a test vehicle (build/win64).
#   VERSION defaults to the version record's product version; the tests build
#   an older package with a lower one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)

if [ $# -lt 3 ] || { [ "$1" != x86 ] && [ "$1" != x64 ]; }; then
  echo "usage: $0 x86|x64 WINDOWS_BUILD_DIR OUTPUT.msi [VERSION]" >&2
  exit 2
fi
arch=$1
build_dir=$(cd "$2" && pwd)
out=$(realpath -m "$3")

# Product name and versions come from the executable's version record.
rc="$top/resources/version.rc"
rc_value() { sed -n "s/.*VALUE \"$1\", \"\\(.*\\)\".*/\\1/p" "$rc"; }
product_name=$(rc_value ProductName)
version=${4:-$(rc_value ProductVersion)}
file_version=$(sed -n 's/^FILEVERSION \([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1.\2.\3.\4/p' "$rc")
if [ -z "$product_name" ] || [ -z "$version" ] || [ -z "$file_version" ]; then
  echo "build_msi: cannot read ProductName, ProductVersion or FILEVERSION from $rc" >&2
  exit 1
fi
# The service's description, as -install registers it: the string pieces of
# its #define joined.
config_h="$top/cli/service_config.h"
description=$(awk '/^#define SERVICE_DESCRIPTION_TEXT/ { on = 1 } on { print; if ($0 !~ /\\$/) exit }' \
  "$config_h" | grep -o '"[^"]*"' | tr -d '"\n')
if [ -z "$description" ]; then
  echo "build_msi: cannot read SERVICE_DESCRIPTION_TEXT from $config_h" >&2
  exit 1
fi
for f in "$build_dir/vyriasrw.exe" "$build_dir/driverlib/vyrqd4w.dll" "$build_dir/packaging/asrmsi.dll"; do
  [ -f "$f" ] || { echo "build_msi: missing $f (build first)" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# wixl resolves sources against the .wxs file's folder and takes no absolute paths.
rel_build=$(realpath --relative-to="$here" "$build_dir")
wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D ProductName="$product_name" \
  -D BuildDir="$rel_build" -D Description="$description" -o "$tmp/package.msi" "$here/vyriasrw.wxs"

# The library component's GUID and folder, as wixl wrote them.
read -r library_guid sys_dir < <(msiinfo export "$tmp/package.msi" Component |
  awk -F'\t' '$1 == "DriverLibrary" { gsub(/[{}\r]/, "", $2); print $2, $3 }')
if [ -z "${library_guid:-}" ] || [ -z "${sys_dir:-}" ]; then
  echo "build_msi: no DriverLibrary component in the built package" >&2
  exit 1
fi

upgrade_code=$(msiinfo export "$tmp/package.msi" Property |
  awk -F'\t' '$1 == "UpgradeCode" { gsub(/[{}\r]/, "", $2); print $2 }')

queries=()
while IFS= read -r line; do
  case "$line" in '' | --*) continue ;; esac
  line=${line//@FILE_VERSION@/$file_version}
  line=${line//@LIBRARY_GUID@/$library_guid}
  line=${line//@SYSDIR@/$sys_dir}
  line=${line//@UPGRADE_CODE@/$upgrade_code}
  line=${line//@VERSION@/$version}
  queries+=(-q "$line")
done <"$here/post_wixl.sql"
msibuild "$tmp/package.msi" "${queries[@]}"

mkdir -p "$(dirname "$out")"
mv "$tmp/package.msi" "$out"
echo "build_msi: $out ($arch, $product_name $version)"
