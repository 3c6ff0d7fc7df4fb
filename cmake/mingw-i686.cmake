# Cross build for 32-bit Windows with mingw-w64 (the win32 thread model, so
# that no threading DLL is needed beside the program).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
