# Outside components built by this project: the network sender library and a
# tuner driver for tests and demonstrations. They are loaded at run time by
# path and are not part of the program.
function(trelvan_plain_library target output)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${output}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE Threads::Threads)
  if(TRELVAN_CP932)
    # No user-visible text here; the standard headers need the default charset.
    target_compile_options(${target} PRIVATE -fexec-charset=UTF-8)
  endif()
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    # stdcall exports keep their plain names, as loaders look them up.
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  endif()
endfunction()

add_library(send_tstcp SHARED
  ${CMAKE_CURRENT_LIST_DIR}/sender_lib/send_tstcp.cpp)
if(WIN32)
  target_link_libraries(send_tstcp PRIVATE ws2_32)
endif()
trelvan_plain_library(send_tstcp SendTSTCP)
# The sender is named by path on the command line, so it is installed where
# a user finds it: beside the program on Windows, under lib/trelvan
# elsewhere. Nothing links against it; its import library stays out.
install(TARGETS send_tstcp
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION lib/trelvan
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT import_library EXCLUDE_FROM_ALL)

add_library(bon_test_driver SHARED
  ${CMAKE_CURRENT_LIST_DIR}/test_driver/test_driver.cpp)
trelvan_plain_library(bon_test_driver BonDriver_Test)

# The same driver without the factory export: a library that loads but is
# not a tuner driver.
add_library(bon_test_driver_noexport SHARED
  ${CMAKE_CURRENT_LIST_DIR}/test_driver/test_driver.cpp)
target_compile_definitions(bon_test_driver_noexport PRIVATE TEST_DRIVER_NO_EXPORT)
trelvan_plain_library(bon_test_driver_noexport BonDriver_NoExport)

# Recording stand-ins for the sender library, for the endpoint tests: one
# complete, one lacking ClearSendBuffDLL.
set(TRELVAN_FAKE_SENDER_SOURCE ${CMAKE_SOURCE_DIR}/tests/endpoints/fake_sender/fake_sender.cpp)
add_library(fake_sender SHARED ${TRELVAN_FAKE_SENDER_SOURCE})
trelvan_plain_library(fake_sender FakeSender)
add_library(fake_sender_noclear SHARED ${TRELVAN_FAKE_SENDER_SOURCE})
target_compile_definitions(fake_sender_noclear PRIVATE FAKE_SENDER_NO_CLEARBUFF)
trelvan_plain_library(fake_sender_noclear FakeSenderNoClear)
