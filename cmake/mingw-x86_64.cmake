# Cross build for 64-bit Windows: a test vehicle for machines that cannot run
# 32-bit programs; not shipped.
set(MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
