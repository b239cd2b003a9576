# Windows executables run under Wine in a prefix kept inside the build tree, quietly.
# Every run (tests, discovery, the stand-in game) goes through one wrapper so they share it.
set(FRAMOLT_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

function(framolt_discover_tests target)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 180 DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 300)
endfunction()
