# Cross-build for Windows (x86_64) with mingw-w64 (posix thread model). The runtime libraries are
# linked statically, so the DLL and the test programs need no further DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Windows XP SP3 (NT 5.1) and later: the headers offer only XP-era entry points, and the PE
# header claims OS and subsystem version 5.01 (the loader refuses a newer claim on XP).
set(NEV_XP_LINK "-Wl,--major-os-version,5,--minor-os-version,1")
string(APPEND NEV_XP_LINK " -Wl,--major-subsystem-version,5,--minor-subsystem-version,1")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${NEV_XP_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${NEV_XP_LINK}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${NEV_XP_LINK}")
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0501 -DWINVER=0x0501")
# g++ 12 warns falsely about overlapping copies inside std::string at -O3 (its bug 105651).
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict -D_WIN32_WINNT=0x0501 -DWINVER=0x0501")
