# The tray icon, tooltip and menu of the application object, with the shell
# calls recorded instead of made.
add_executable(tray_tests ${CMAKE_CURRENT_LIST_DIR}/TrayTest.cpp ${VRLN_RESOURCE_SCRIPT})
target_link_libraries(tray_tests PRIVATE vrln_app vrln_testsupport gtest_main)
add_dependencies(tray_tests standin_mainapp)
vrln_add_test(tray_tests)
