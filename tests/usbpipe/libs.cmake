# The knob tests that run the port driver above the model reuse the driver tests' real stack.
if(NOT TARGET vcomtest_stack)
  add_library(vcomtest_stack STATIC ${CMAKE_CURRENT_SOURCE_DIR}/driver/stack.cpp)
  target_include_directories(vcomtest_stack PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/driver)
  target_link_libraries(vcomtest_stack PUBLIC vcom_driver emu_usbpipe GTest::gtest)
  vcom_warnings(vcomtest_stack)
endif()
set(TEST_LIBS vcomtest_stack vcom_driver emu_usbpipe)
