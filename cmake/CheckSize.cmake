# ctest's check of a file's size: cmake -DFILE=<path> -DLIMIT=<bytes> -P CheckSize.cmake
file(SIZE "${FILE}" size)
message(STATUS "${FILE}: ${size} bytes (limit ${LIMIT})")
if(size GREATER LIMIT)
  message(FATAL_ERROR "${FILE} has ${size} bytes, more than ${LIMIT}")
endif()
