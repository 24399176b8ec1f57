# nev/version.h, generated from the project version into the build tree (and installed with the
# public headers). The DLL's resource script includes it too.
set(NEV_VERSION ${PROJECT_VERSION})
set(NEV_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(NEV_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(NEV_VERSION_PATCH ${PROJECT_VERSION_PATCH})
set(NEV_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
if(NOT NEV_VERSION_TWEAK)
  set(NEV_VERSION_TWEAK 0)
endif()
# The version block's text form: major, two-digit minor, four-digit revision ("1.00.0088").
string(LENGTH "${NEV_VERSION_MINOR}" _len)
set(_minor "${NEV_VERSION_MINOR}")
if(_len LESS 2)
  set(_minor "0${_minor}")
endif()
set(_tweak "000${NEV_VERSION_TWEAK}")
string(LENGTH "${_tweak}" _len)
math(EXPR _start "${_len} - 4")
string(SUBSTRING "${_tweak}" ${_start} 4 _tweak)
set(NEV_VERSION_BLOCK_TEXT "${NEV_VERSION_MAJOR}.${_minor}.${_tweak}")

set(NEV_GENERATED_INCLUDE ${PROJECT_BINARY_DIR}/include)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${NEV_GENERATED_INCLUDE}/nev/version.h
               @ONLY)
