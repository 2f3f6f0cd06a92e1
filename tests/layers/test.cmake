# The layering check itself, on small fixture trees: a clean tree passes
# (with the listed exception and a commented-out include), and each reach up
# or sideways is reported with the file, the include and the allowed folders.
set(layer_check ${CMAKE_SOURCE_DIR}/cmake/check_layers.cmake)
set(layer_fixtures ${CMAKE_CURRENT_LIST_DIR})
foreach(folder IN ITEMS engine tables)
  add_test(NAME layers.clean_${folder}
    COMMAND ${CMAKE_COMMAND} -DCHECK=${layer_check} -DROOT=${layer_fixtures}/clean -DFOLDER=${folder}
            -DSTAMP=${CMAKE_BINARY_DIR}/layers/fixture_clean_${folder}.checked -P ${layer_fixtures}/run_check.cmake)
endforeach()
foreach(folder IN ITEMS engine tables caption)
  add_test(NAME layers.violating_${folder}
    COMMAND ${CMAKE_COMMAND} -DCHECK=${layer_check} -DROOT=${layer_fixtures}/violating -DFOLDER=${folder}
            -DSTAMP=${CMAKE_BINARY_DIR}/layers/fixture_violating_${folder}.checked
            -DEXPECTED=${layer_fixtures}/violating/${folder}.expected -P ${layer_fixtures}/run_check.cmake)
endforeach()
