# asr_system: the system's own sources (service, watchdog, command line) as one
# library, for the Windows executable, the host build's tests and the fuzz
# harnesses; cli/main.cpp is the Windows entry point only. On the host, the
# includer links it with the fake Windows layer.
option(ASR_TRACE "Build with the diagnostic traces switched on" OFF)

get_filename_component(ASR_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
file(GLOB ASR_SYSTEM_SOURCES CONFIGURE_DEPENDS
     ${ASR_ROOT}/service/*.cpp
     ${ASR_ROOT}/watchdog/*.cpp
     ${ASR_ROOT}/cli/*.cpp)
list(REMOVE_ITEM ASR_SYSTEM_SOURCES ${ASR_ROOT}/cli/main.cpp)

add_library(asr_system STATIC ${ASR_SYSTEM_SOURCES})
target_include_directories(asr_system PUBLIC ${ASR_ROOT})
target_compile_definitions(asr_system PRIVATE ASR_TRACE_DEFAULT=$<BOOL:${ASR_TRACE}>)
