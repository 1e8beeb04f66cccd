# Cross build for 64-bit Windows with Debian's mingw-w64: the same sources
# as the product, for running the end-to-end test under wine64.
set(KAVROL_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-i686.cmake)
