# Start-up, single instance, message loop, main-application presence, autostart.
add_executable(frame_tests ${CMAKE_CURRENT_LIST_DIR}/FrameTest.cpp)
target_link_libraries(frame_tests PRIVATE vrln_app vrln_testsupport gtest_main)
add_dependencies(frame_tests VrlnSchd standin_mainapp)
vrln_add_test(frame_tests)
