# The shipped 32-bit build is i686; the tests under wine64 use x86_64.
set(LUMO_MINGW_ARCH i686)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
