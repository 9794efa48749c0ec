# Cross build for Windows with mingw-w64 for the processor in RUV_MINGW_PROCESSOR
# (i686 or x86_64); test programs run under Wine.
# The posix thread model gives the standard library std::mutex, which GoogleTest needs;
# everything is linked statically, so no thread DLL goes along.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${RUV_MINGW_PROCESSOR})
set(CMAKE_C_COMPILER ${RUV_MINGW_PROCESSOR}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${RUV_MINGW_PROCESSOR}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${RUV_MINGW_PROCESSOR}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${RUV_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
