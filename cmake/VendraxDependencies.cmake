# Finds the libraries the project builds on. libnids has no pkg-config file.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS regex)
pkg_check_modules(PCAP REQUIRED IMPORTED_TARGET libpcap)

find_path(NIDS_INCLUDE_DIR nids.h REQUIRED)
find_library(NIDS_LIBRARY nids REQUIRED)
add_library(nids_library UNKNOWN IMPORTED)
set_target_properties(nids_library PROPERTIES
  IMPORTED_LOCATION ${NIDS_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${NIDS_INCLUDE_DIR})
target_link_libraries(nids_library INTERFACE PkgConfig::PCAP)

find_package(GTest REQUIRED)

if(NOT VENDRAX_ENGINE_ONLY)
  find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network Sql Concurrent Test)
endif()
