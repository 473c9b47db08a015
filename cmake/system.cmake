# asr_system: the system's own sources (service, health checks, watchdog, command line) as one
# library, for the Windows executable, the host build's tests and the fuzz
# harnesses; cli/main.cpp is the Windows entry point only. On the host, the
# includer links each of ASR_SYSTEM_LIBRARIES with the fake Windows layer.
option(ASR_TRACE "Build with the diagnostic traces switched on" OFF)

get_filename_component(ASR_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# How the driver library is found and loaded: the service, its installer and
# qd4probe load the very same file the same way.
add_library(qd4_loader STATIC ${ASR_ROOT}/qd4/system_folder.cpp)
# What the command line and the package's custom actions share, each as a
# library that both link: the service's description and recovery actions and
# the timeout its argument gives; the system's error texts; the wait for a
# stopping service.
set(ASR_INSTALL_SHARED_SOURCES ${ASR_ROOT}/cli/service_config.cpp
    ${ASR_ROOT}/cli/timeout_argument.cpp)
add_library(asr_install_shared STATIC ${ASR_INSTALL_SHARED_SOURCES})
add_library(asr_error_text STATIC ${ASR_ROOT}/cli/error_text.cpp)
add_library(asr_wait_for_stop STATIC ${ASR_ROOT}/cli/wait_for_stop.cpp)

# The health checks' settings: the service and qd4probe read them alike.
add_library(health_settings STATIC ${ASR_ROOT}/health/settings.cpp)

file(GLOB ASR_SYSTEM_SOURCES CONFIGURE_DEPENDS
     ${ASR_ROOT}/service/*.cpp
     ${ASR_ROOT}/health/*.cpp
     ${ASR_ROOT}/watchdog/*.cpp
     ${ASR_ROOT}/cli/*.cpp)
list(REMOVE_ITEM ASR_SYSTEM_SOURCES ${ASR_ROOT}/cli/main.cpp ${ASR_INSTALL_SHARED_SOURCES}
     ${ASR_ROOT}/cli/error_text.cpp ${ASR_ROOT}/cli/wait_for_stop.cpp ${ASR_ROOT}/health/settings.cpp)

add_library(asr_system STATIC ${ASR_SYSTEM_SOURCES})
target_compile_definitions(asr_system PRIVATE ASR_TRACE_DEFAULT=$<BOOL:${ASR_TRACE}>)
target_link_libraries(asr_system PUBLIC qd4_loader asr_install_shared asr_error_text
                      asr_wait_for_stop health_settings)

set(ASR_SYSTEM_LIBRARIES asr_system qd4_loader asr_install_shared asr_error_text asr_wait_for_stop
    health_settings)
foreach(lib ${ASR_SYSTEM_LIBRARIES})
  target_include_directories(${lib} PUBLIC ${ASR_ROOT})
endforeach()
