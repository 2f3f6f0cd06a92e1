# The endpoint tests load the project's outside libraries by path.
add_dependencies(${TEST_TARGET} send_tstcp bon_test_driver bon_test_driver_noexport fake_sender fake_sender_noclear)
target_compile_definitions(${TEST_TARGET} PRIVATE
  SENDER_LIBRARY_PATH="$<TARGET_FILE:send_tstcp>"
  FAKE_SENDER_PATH="$<TARGET_FILE:fake_sender>"
  FAKE_SENDER_NOCLEAR_PATH="$<TARGET_FILE:fake_sender_noclear>"
  TEST_DRIVER_PATH="$<TARGET_FILE:bon_test_driver>"
  TEST_DRIVER_NOEXPORT_PATH="$<TARGET_FILE:bon_test_driver_noexport>")
