# The scheduler thread and its registry record, in process; the decision log's files.
add_executable(sched_tests ${CMAKE_CURRENT_LIST_DIR}/SchedulerTest.cpp ${CMAKE_CURRENT_LIST_DIR}/DecisionLogTest.cpp)
target_link_libraries(sched_tests PRIVATE vrln_sched vrln_testsupport gtest_main)
vrln_add_test(sched_tests)
# The log's time stamps in a zone half an hour off UTC's hours: Wine takes its
# zone from TZ, here a POSIX rule that needs no time-zone data on the machine.
add_test(NAME sched_tests_zone COMMAND sched_tests --gtest_color=no --gtest_filter=DecisionLog.Writes*)
set_tests_properties(sched_tests_zone PROPERTIES ENVIRONMENT "TZ=IST-5:30")
