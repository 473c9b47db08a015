# Sourced by the scripts that run the Windows build under Wine. Chooses how:
# the 32-bit build under Debian's 32-bit Wine where this machine can run
# 32-bit x86 programs, or else (some kernels are built without that) the
# 64-bit build of the same sources under Debian's wine64, which is then put
# first on PATH as "wine" and "wineboot".
# Sets ASR_WINEARCH (win32 or win64) and ASR_WIN_BUILD (the build folder);
# ASR_WINEARCH set beforehand forces the choice.

asr_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ -z "${ASR_WINEARCH:-}" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    ASR_WINEARCH=win32
  else
    ASR_WINEARCH=win64
    echo "wine: this machine cannot run 32-bit x86 programs" \
      "($(/usr/lib/wine/wine --version 2>&1 | tail -n 1));" \
      "the Windows side runs as the 64-bit build of the same sources under wine64"
  fi
fi
if [ "$ASR_WINEARCH" = win64 ]; then
  ASR_WIN_BUILD="$asr_root/build/win64"
  wine64_bin="$asr_root/build/wine64-bin"
  mkdir -p "$wine64_bin"
  printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' \
    >"$wine64_bin/wine"
  printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 wineboot.exe "$@"\n' \
    >"$wine64_bin/wineboot"
  chmod +x "$wine64_bin/wine" "$wine64_bin/wineboot"
  PATH="$wine64_bin:$PATH"
else
  ASR_WIN_BUILD="$asr_root/build/win32"
fi
export ASR_WINEARCH ASR_WIN_BUILD PATH
