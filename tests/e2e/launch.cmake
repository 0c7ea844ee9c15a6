# The whole road of a launch: the stand-in stores and announces a moment, the
# real VrlnSchd.exe starts the stand-in when it falls due.
add_executable(launch_tests ${CMAKE_CURRENT_LIST_DIR}/LaunchTest.cpp)
target_link_libraries(launch_tests PRIVATE vrln_sched vrln_testsupport gtest_main)
add_dependencies(launch_tests VrlnSchd standin_mainapp)
vrln_add_test(launch_tests)
