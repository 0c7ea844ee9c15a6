# The DDE layer against the stand-in browser (browse.exe) in processes of its own.
add_executable(dde_tests DdeTest.cpp)
target_link_libraries(dde_tests PRIVATE vrln_dde vrln_testsupport gtest_main)
add_dependencies(dde_tests standin_browser)
vrln_add_test(dde_tests)
