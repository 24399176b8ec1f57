# What `cmake --install` puts where (GNUInstallDirs), in components that CPack turns into
# packages: "library" (the shared libraries libnev.so.N and libnev-receipt.so.N), "development"
# (the public headers, libnev.a, the .so links, the CMake and pkg-config files, the developers'
# documents), "tools" (nevctl, nev-sim and their man pages) and "service" (nevd, its man page, its
# systemd unit and, for a system install under /usr, its configuration in /etc). Each package
# has its copyright file.
include(CMakePackageConfigHelpers)

set(NEV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/nev)

install(TARGETS nev_shared nev_static nev_receipt_shared
        EXPORT nevTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
                NAMELINK_COMPONENT development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/nev ${NEV_GENERATED_INCLUDE}/nev
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
        FILES_MATCHING PATTERN "*.h")

install(EXPORT nevTargets NAMESPACE nev:: DESTINATION ${NEV_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nevConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/cmake/nevConfig.cmake
                              INSTALL_DESTINATION ${NEV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/nevConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/nevConfig.cmake ${PROJECT_BINARY_DIR}/nevConfigVersion.cmake
        DESTINATION ${NEV_CMAKE_DIR} COMPONENT development)

# The same package from the build tree: find_package(nev) with nev_DIR=<build folder>.
export(EXPORT nevTargets NAMESPACE nev:: FILE ${PROJECT_BINARY_DIR}/nevTargets.cmake)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nevConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/nevConfig.cmake
                              INSTALL_DESTINATION ${PROJECT_BINARY_DIR}
                              INSTALL_PREFIX ${PROJECT_BINARY_DIR})

# pkg-config: the prefix is found from the .pc file's own place, so the file stays right after
# `cmake --install --prefix`, DESTDIR or unpacking a package anywhere.
file(RELATIVE_PATH NEV_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" NEV_PC_TO_PREFIX "${NEV_PC_TO_PREFIX}")
set(NEV_PC_LIBS_PRIVATE "")
foreach(lib ${CMAKE_DL_LIBS})
  string(APPEND NEV_PC_LIBS_PRIVATE " -l${lib}")
endforeach()
string(STRIP "${NEV_PC_LIBS_PRIVATE}" NEV_PC_LIBS_PRIVATE)
configure_file(${PROJECT_SOURCE_DIR}/cmake/nev.pc.in ${PROJECT_BINARY_DIR}/nev.pc @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/nev-receipt.pc.in ${PROJECT_BINARY_DIR}/nev-receipt.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/nev.pc ${PROJECT_BINARY_DIR}/nev-receipt.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

install(TARGETS nevctl nev-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
foreach(page nevctl nev-sim)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1.in ${PROJECT_BINARY_DIR}/man/${page}.1
                 @ONLY)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/man/nevctl.1 ${PROJECT_BINARY_DIR}/man/nev-sim.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
              ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT library)
install(FILES ${PROJECT_SOURCE_DIR}/docs/api.md ${PROJECT_SOURCE_DIR}/docs/receipts.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development)

# Debian's copyright file, at /usr/share/doc/PACKAGE/copyright of each package.
set(NEV_DEB_PACKAGES library=libnev development=libnev-dev tools=nev-tools)
if(TARGET nevd)
  list(APPEND NEV_DEB_PACKAGES service=nevd)
endif()
if(TARGET nev_python)
  list(APPEND NEV_DEB_PACKAGES python=python3-nev)
endif()
foreach(pair ${NEV_DEB_PACKAGES})
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

if(TARGET nevd)
  install(TARGETS nevd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/nevd.8.in ${PROJECT_BINARY_DIR}/man/nevd.8 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/nevd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
          COMPONENT service)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/nevd/nevd.service
          DESTINATION lib/systemd/system COMPONENT service)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/nevd/etc/nevd.json
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/nevd/examples COMPONENT service)
  # The unit reads /etc/nevd/nevd.json. Only a system install (the package) writes there; an
  # install under any other prefix keeps the example beside the documents.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    install(FILES ${PROJECT_SOURCE_DIR}/tools/nevd/etc/nevd.json DESTINATION /etc/nevd
            COMPONENT service)
  endif()
endif()
