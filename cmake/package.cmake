# Debian packages (scripts/package): one per install component.
#   libnev     the shared libraries libnev.so.<major> and libnev-receipt.so.<major>
#   libnev-dev headers, libnev.a, the .so links, CMake and pkg-config files, developer documents
#   nev-tools  nevctl and nev-sim with their man pages
#   nevd       the print service with its man page, systemd unit and configuration
#   python3-nev  the Python module nev (when pybind11 was found)
# Dependencies on the system libraries come from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nev)
set(CPACK_PACKAGE_VENDOR "NEV driver developers")
set(CPACK_PACKAGE_CONTACT "NEV driver developers <nev@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development tools)
if(TARGET nevd)
  list(APPEND CPACK_COMPONENTS_ALL service)
endif()
if(TARGET nev_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libnev)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
    "NEV fiscal printer driver: C++ shared libraries\n The NEV object drives a fiscal printer or cash register on an RS-232 line; the receipt\n library runs receipts as transactions with a journal.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libnev-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libnev (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "NEV fiscal printer driver: C++ development files\n Public headers, the static library, the links to the shared libraries, the CMake package\n (find_package(nev)) and pkg-config files (nev.pc, nev-receipt.pc), and the developers'\n documents (api.md, receipts.md).")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME nev-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "NEV fiscal printer driver: command-line tool and simulator\n nevctl calls the driver's members by name, runs scripts and lists serial ports;\n nev-sim simulates the fiscal device on a pseudo-terminal.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME nevd)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
    "NEV fiscal printer driver: HTTP/JSON print service\n nevd serves fiscal printers over HTTP/JSON with a queue per printer, receipts as\n transactions with a journal, and a web page. systemd unit nevd.service; configuration\n /etc/nevd/nevd.json (a simulated printer until it names real ones).")
# The configuration is the administrator's: an upgrade keeps their changes.
file(WRITE ${PROJECT_BINARY_DIR}/cpack/service/conffiles "/etc/nevd/nevd.json\n")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/cpack/service/conffiles)

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-nev)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${NEV_PYTHON_DEB_DEPENDS}")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "NEV fiscal printer driver: Python module\n import nev: the NEV object with every member under its published name, receipts as\n transactions with a journal (nev.receipt), a typing stub. The driver is linked in.")

include(CPack)
