# Cross toolchain for the product: 32-bit Windows console executables, linked statically
# so that they run on a bare Windows (and under Wine) without any runtime DLL.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QVL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
