# The scheduler thread and its registry record, in process.
add_executable(sched_tests ${CMAKE_CURRENT_LIST_DIR}/SchedulerTest.cpp)
target_link_libraries(sched_tests PRIVATE vrln_sched vrln_testsupport gtest_main)
vrln_add_test(sched_tests)
