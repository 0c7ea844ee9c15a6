# fault_tests: one scenario per fault, each with the real program or the
# application object, the stand-ins and a participant that dies on purpose.
add_executable(fault_tests ${CMAKE_CURRENT_LIST_DIR}/FaultTest.cpp ${VRLN_RESOURCE_SCRIPT})
target_link_libraries(fault_tests PRIVATE vrln_soakprobe vrln_app vrln_testsupport gtest_main)
add_dependencies(fault_tests VrlnSchd standin_mainapp standin_browser sync_participant)
vrln_add_test(fault_tests)
set_tests_properties(fault_tests PROPERTIES TIMEOUT 300)
