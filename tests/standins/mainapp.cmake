# VRLN98.EXE: stands in for the main application.
add_executable(standin_mainapp WIN32 ${CMAKE_CURRENT_LIST_DIR}/StandinMainApp.cpp)
set_target_properties(standin_mainapp PROPERTIES OUTPUT_NAME VRLN98 SUFFIX ".EXE")
target_link_libraries(standin_mainapp PRIVATE vrln_sched vrln_sync vrln_core vrln_win)
