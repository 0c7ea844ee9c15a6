# Settings, browser launcher and local webs.

add_executable(webs_tests BrowserTest.cpp WebsTest.cpp)
target_link_libraries(webs_tests PRIVATE vrln_app vrln_testsupport gtest_main)
add_dependencies(webs_tests standin_browser)
vrln_add_test(webs_tests --gtest_filter=-*DoubleByte*)
# Paths in a double-byte code page: Wine takes its ANSI code page (932) from the locale.
add_test(NAME webs_tests_cp932 COMMAND webs_tests --gtest_color=no --gtest_filter=*DoubleByte*)
set_tests_properties(webs_tests_cp932 PROPERTIES ENVIRONMENT "LC_ALL=ja_JP.UTF-8;LANG=ja_JP.UTF-8")

# Not a test: prints how long FillWebsMenu takes for 1, 100 and 1,000 webs.
add_executable(webs_menu_bench WebsMenuBench.cpp)
target_link_libraries(webs_menu_bench PRIVATE vrln_app)
