# Unit tests: one GoogleTest executable per subsystem folder under tests/.
if(CMAKE_CROSSCOMPILING)
  # No packaged GoogleTest for the cross compilers: build it from source.
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Only the program's text is code page 932: GoogleTest's sources, and the
  # standard headers they include, hold characters that code page lacks.
  get_directory_property(own_options COMPILE_OPTIONS)
  set(gtest_options ${own_options})
  list(FILTER gtest_options EXCLUDE REGEX "exec-charset")
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${gtest_options}")
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${own_options}")
  set(TRELVAN_GTEST gtest gtest_main)
else()
  find_package(GTest REQUIRED)
  set(TRELVAN_GTEST GTest::gtest GTest::gtest_main)
endif()
include(GoogleTest)

file(GLOB support_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
# Linked into every test program itself: nothing would pull it out of the
# support library.
set(pinned_locale ${CMAKE_SOURCE_DIR}/tests/support/pinned_locale.cpp)
list(REMOVE_ITEM support_sources ${pinned_locale})
add_library(test_support STATIC ${support_sources} ${CMAKE_SOURCE_DIR}/tests/support/empty.cpp)
target_include_directories(test_support PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(test_support PUBLIC trelvan_core ${TRELVAN_GTEST})
target_compile_definitions(test_support PUBLIC
  TRELVAN_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  TRELVAN_BINARY_DIR="${CMAKE_BINARY_DIR}")

file(GLOB test_dirs LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*)
foreach(path IN LISTS test_dirs)
  get_filename_component(name ${path} NAME)
  if(NOT IS_DIRECTORY ${path} OR name STREQUAL "support" OR name STREQUAL "data")
    continue()
  endif()
  file(GLOB test_sources CONFIGURE_DEPENDS ${path}/*.cpp)
  if(NOT test_sources)
    continue()
  endif()
  add_executable(test_${name} ${test_sources} ${pinned_locale})
  target_link_libraries(test_${name} PRIVATE test_support)
  # A test folder may add libraries or data of its own.
  set(TEST_TARGET test_${name})
  include(${path}/test.cmake OPTIONAL)
  if(NOT CMAKE_CROSSCOMPILING)
    gtest_discover_tests(test_${name}
      DISCOVERY_MODE PRE_TEST
      PROPERTIES ENVIRONMENT "TZ=Asia/Tokyo" ENVIRONMENT_MODIFICATION "TRELVAN_EXE=set:$<TARGET_FILE:trelvan>"
      TEST_PREFIX "${name}.")
    add_dependencies(test_${name} trelvan)
  endif()
endforeach()
include(${CMAKE_SOURCE_DIR}/tests/layers/test.cmake)
