# The end-to-end tests run the built program; its path is compiled in as a
# fallback for runs without TRELVAN_EXE in the environment.
if(NOT CMAKE_CROSSCOMPILING)
  target_compile_definitions(${TEST_TARGET} PRIVATE TRELVAN_BUILT_EXE="$<TARGET_FILE:trelvan>")
endif()
