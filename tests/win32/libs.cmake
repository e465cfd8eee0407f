# The scenarios' fixture reuses the driver tests' real stack.
if(NOT TARGET vcomtest_stack)
  add_library(vcomtest_stack STATIC ${CMAKE_CURRENT_SOURCE_DIR}/driver/stack.cpp)
  target_include_directories(vcomtest_stack PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/driver)
  target_link_libraries(vcomtest_stack PUBLIC vcom_driver emu_usbpipe GTest::gtest)
  vcom_warnings(vcomtest_stack)
endif()
set(TEST_LIBS emu_win32 vcomtest_stack vcom_driver emu_usbpipe)
# The ordinary serial programs (C and C++) the scenarios run, built against emu/win32 only.
if(NOT TARGET win32_programs)
  add_library(win32_programs STATIC ${CMAKE_CURRENT_SOURCE_DIR}/win32/programs/serial_program.c
                                    ${CMAKE_CURRENT_SOURCE_DIR}/win32/programs/serial_program.cpp)
  target_link_libraries(win32_programs PUBLIC emu_win32)
  set_target_properties(win32_programs PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON)
  vcom_warnings(win32_programs)
endif()
list(APPEND TEST_LIBS win32_programs)
