# A due launch waits for a network, in a network namespace of its own. Once per
# suite run: with the launch test, against the shipped build (the 64-bit one
# where 32-bit programs cannot run).
if(VRLN_RELEASE)
  add_test(NAME network_wait COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/network.sh $<TARGET_FILE_DIR:VrlnSchd>)
  set_tests_properties(network_wait PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
