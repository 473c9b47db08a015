# asr_windows_target(TARGET [KILL_AT]): the flags of every Windows target of
# ours: Windows 7's API, and 6.1 (Windows 7, Server 2008 R2) as the OS and
# subsystem versions in the PE header, no exceptions or RTTI, and linked
# statically and stripped, so that a binary imports system DLLs only. KILL_AT:
# a DLL whose stdcall entries are exported without their @N decoration.
function(asr_windows_target target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "KILL_AT" "" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "asr_windows_target(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++ -s
                      -Wl,--major-os-version,6 -Wl,--minor-os-version,1
                      -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,1)
  if(arg_KILL_AT)
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  endif()
endfunction()
