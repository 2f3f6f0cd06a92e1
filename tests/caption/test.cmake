# The independent ARIB decoder libaribb24 serves as an oracle for the
# character decoding; without it the oracle tests skip.
find_path(ARIBB24_INCLUDE_DIR aribb24/decoder.h)
find_library(ARIBB24_LIBRARY aribb24)
if(ARIBB24_INCLUDE_DIR AND ARIBB24_LIBRARY AND NOT CMAKE_CROSSCOMPILING)
  target_include_directories(${TEST_TARGET} PRIVATE ${ARIBB24_INCLUDE_DIR})
  target_link_libraries(${TEST_TARGET} PRIVATE ${ARIBB24_LIBRARY})
  target_compile_definitions(${TEST_TARGET} PRIVATE TRELVAN_HAVE_ARIBB24=1)
endif()
