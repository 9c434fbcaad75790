# The sender and its send loop: setup and teardown, the send thread, the picture sent at once.
# Free of Qt; the window derives from CLirafonSender and supplies the card drawing.
add_library(lirafon_sender STATIC
  ${CMAKE_CURRENT_LIST_DIR}/lirafon_sender.cpp
  ${CMAKE_CURRENT_LIST_DIR}/send_loop.cpp
)
target_include_directories(lirafon_sender PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(lirafon_sender PUBLIC lirafon_engine lirafon_output Threads::Threads)
