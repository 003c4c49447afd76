# A real full disk for the tests that write onto one: a 1 MiB tmpfs mounted on
# the build machine at LBW_SMALL_DISK and seen under Wine as drive S:. The
# fixture "small_disk" mounts it before those tests and removes it after them.
# Mounting needs root; where it is refused the setup still passes and the
# tests skip, saying why.
set(lbw_small_disk_script ${CMAKE_CURRENT_SOURCE_DIR}/build/small_disk.sh)
set(lbw_small_disk_arguments
  ${CMAKE_CURRENT_BINARY_DIR}/small-disk   # LBW_SMALL_DISK
  ${PROJECT_BINARY_DIR}/wine               # the prefix of tools/wine-run
  s:
  ${PROJECT_SOURCE_DIR}/tools/wine-run
  1m)
find_program(LBW_BASH bash REQUIRED)

add_test(NAME small_disk_mount
  COMMAND ${LBW_BASH} ${lbw_small_disk_script} mount ${lbw_small_disk_arguments})
add_test(NAME small_disk_unmount
  COMMAND ${LBW_BASH} ${lbw_small_disk_script} unmount ${lbw_small_disk_arguments})
set_tests_properties(small_disk_mount PROPERTIES FIXTURES_SETUP small_disk TIMEOUT 120)
set_tests_properties(small_disk_unmount PROPERTIES FIXTURES_CLEANUP small_disk TIMEOUT 60)

# The tests of the suite SmallDiskTest are found by gtest discovery when ctest
# starts, so their properties can only be set after that: ctest reads this file
# after the discovered list (unit_tests_TESTS) and marks them as needing the disk.
set(lbw_small_disk_tests ${CMAKE_CURRENT_BINARY_DIR}/small_disk_tests.cmake)
file(WRITE ${lbw_small_disk_tests} [=[
foreach(lbw_test IN LISTS unit_tests_TESTS)
  if(lbw_test MATCHES "^SmallDiskTest\\.")
    set_tests_properties("${lbw_test}" PROPERTIES FIXTURES_REQUIRED small_disk)
  endif()
endforeach()
]=])
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${lbw_small_disk_tests})
