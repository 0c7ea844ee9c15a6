# browse.exe: stands in for the user's web browser (DDE service BROWSE).
add_executable(standin_browser WIN32 ${CMAKE_CURRENT_LIST_DIR}/StandinBrowser.cpp)
set_target_properties(standin_browser PROPERTIES OUTPUT_NAME browse)
target_link_libraries(standin_browser PRIVATE user32)
