# bmcsim_watchdog: bmcsim's watchdog model alone, on a clock its caller
# passes in; the fake Windows' BMC runs it too. Declared once for both.
if(NOT TARGET bmcsim_watchdog)
  get_filename_component(_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
  add_library(bmcsim_watchdog STATIC ${CMAKE_CURRENT_LIST_DIR}/watchdog.cpp)
  target_include_directories(bmcsim_watchdog PUBLIC ${_root})
endif()
