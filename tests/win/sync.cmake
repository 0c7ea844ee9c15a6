# The synchroniser across threads and processes: sync_participant plays another
# participant in a process of its own, driven by its command line.
add_executable(sync_participant sync/SyncParticipant.cpp)
target_link_libraries(sync_participant PRIVATE vrln_sync)

add_executable(sync_tests sync/SyncTest.cpp)
target_link_libraries(sync_tests PRIVATE vrln_sync gtest_main)
add_dependencies(sync_tests sync_participant)
vrln_add_test(sync_tests)
