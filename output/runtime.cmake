# The network runtime: the nine NDIlib_* calls, the vendor runtime loader and the built-in RTP
# runtime. Free of Qt.
add_library(lirafon_output STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ndi_dispatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vendor_loader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_pacer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/builtin_runtime.cpp
)
target_include_directories(lirafon_output PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(lirafon_output PRIVATE LIRAFON_RUNTIME_VERSION="${PROJECT_VERSION}")
target_link_libraries(lirafon_output PUBLIC lirafon_ndi_sdk ${CMAKE_DL_LIBS} Threads::Threads)
