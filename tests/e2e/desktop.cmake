# The tray on the virtual desktop, driven by the mouse; screenshots are kept.
add_test(NAME desktop_tray
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/desktop.sh $<TARGET_FILE_DIR:VrlnSchd> ${CMAKE_BINARY_DIR}/artifacts/desktop)
set_tests_properties(desktop_tray PROPERTIES TIMEOUT 180)
