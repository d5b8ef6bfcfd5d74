# Hostile-guest suite, Windows guests: whole restores with zqrestore into the Windows guest
# stand-in, whose users plant links, fill the disk or keep another clock.
add_executable(hostile_windows_tests ${CMAKE_CURRENT_LIST_DIR}/WindowsHostileGuestTest.cpp)
target_link_libraries(hostile_windows_tests PRIVATE zqe2e_harness GTest::gtest_main)
target_compile_definitions(hostile_windows_tests PRIVATE ZQ_WINGUEST_BASE="$<TARGET_FILE_DIR:winguest_zqplink>")
add_dependencies(hostile_windows_tests zqrestore VSAgentlessRestoreToVM VMInfo winguest_tools)
gtest_discover_tests(hostile_windows_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
