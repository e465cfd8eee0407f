# The stress workload is a library shared by the bounded seeds (stress_tests) and the soak runner.
if(NOT TARGET stress_workload)
  add_library(stress_workload STATIC ${CMAKE_CURRENT_SOURCE_DIR}/stress/workload/workload.cpp
                                     ${CMAKE_CURRENT_SOURCE_DIR}/stress/workload/stream.cpp)
  target_include_directories(stress_workload PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/stress/workload)
  target_link_libraries(stress_workload PUBLIC vcomtest_stack vcom_driver emu_usbpipe emu_nt)
  vcom_warnings(stress_workload)

  # `soak`: runs seeds one after another for as long as asked (see the README).
  add_executable(soak ${CMAKE_CURRENT_SOURCE_DIR}/stress/soak/soak.cpp)
  target_link_libraries(soak PRIVATE stress_workload)
  vcom_warnings(soak)
endif()
set(TEST_LIBS stress_workload)
