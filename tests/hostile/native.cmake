# The native channel: the reference host's jobs, the real controller, our VM-information component.
add_executable(hostile_native_tests ${CMAKE_CURRENT_LIST_DIR}/NativeHostileGuestTest.cpp)
target_link_libraries(hostile_native_tests PRIVATE zqtestsupport zqhost_core zqhypervisor_core zqrestore_core
  GTest::gtest_main)
gtest_discover_tests(hostile_native_tests DISCOVERY_TIMEOUT 60)
