# Cross toolchain for the same Windows code at 64-bit width. The product is the 32-bit
# build; this one exists so that the Windows code can still be run and tested under Wine on
# a machine whose kernel runs no 32-bit programs (there only Wine's 64-bit loader works).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QVL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
