# 64-bit Windows; SSE2 is part of x86-64.
set(RUV_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
