# The tray icon, tooltip and menu of the application object, with the shell
# calls recorded instead of made.
add_executable(tray_tests ${CMAKE_CURRENT_LIST_DIR}/TrayTest.cpp ${VRLN_RESOURCE_SCRIPT})
set_source_files_properties(${VRLN_RESOURCE_SCRIPT} PROPERTIES OBJECT_DEPENDS "${VRLN_RESOURCE_FILES}")
target_link_libraries(tray_tests PRIVATE vrln_app vrln_testsupport gtest_main)
# Some tests read the resources of the built program file.
add_dependencies(tray_tests standin_mainapp standin_browser VrlnSchd)
vrln_add_test(tray_tests)
