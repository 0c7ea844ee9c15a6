# Settings, browser launcher and local webs. The sources are compiled here
# directly, so these tests do not depend on the rest of the application library.
set(VRLN_WEBS_SOURCES
  ${PROJECT_SOURCE_DIR}/src/app/Settings.cpp
  ${PROJECT_SOURCE_DIR}/src/app/Browser.cpp
  ${PROJECT_SOURCE_DIR}/src/app/LocalWebs.cpp)

add_library(vrln_webs_under_test STATIC ${VRLN_WEBS_SOURCES})
target_include_directories(vrln_webs_under_test PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(vrln_webs_under_test PUBLIC vrln_dde vrln_core vrln_win user32 advapi32)

add_executable(webs_tests WebsTestSupport.cpp BrowserTest.cpp WebsTest.cpp)
target_link_libraries(webs_tests PRIVATE vrln_webs_under_test gtest_main)
add_dependencies(webs_tests standin_browser)
vrln_add_test(webs_tests)

# Not a test: prints how long FillWebsMenu takes for 1, 100 and 1,000 webs.
add_executable(webs_menu_bench WebsMenuBench.cpp)
target_link_libraries(webs_menu_bench PRIVATE vrln_webs_under_test)
