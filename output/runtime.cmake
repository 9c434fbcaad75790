# The network runtime: the nine NDIlib_* calls, dispatched to the vendor runtime loaded at start
# or to the built-in RTP runtime (rtp/). Free of Qt.
add_library(lirafon_output STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ndi_dispatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vendor_loader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/avahi_probe.cpp
)
# The avahi client asks whether avahi-daemon, through which the vendor runtime announces the
# source, can be reached.
find_package(PkgConfig REQUIRED)
pkg_check_modules(AVAHI_CLIENT REQUIRED IMPORTED_TARGET avahi-client)
target_include_directories(lirafon_output PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(lirafon_output PUBLIC lirafon_ndi_sdk lirafon_rtp ${CMAKE_DL_LIBS}
  Threads::Threads PRIVATE PkgConfig::AVAHI_CLIENT)
