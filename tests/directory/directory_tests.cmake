# Directory tests: every tests/directory/*.cpp against a private slapd that
# each test process starts through scripts/ldap-test-server.sh.
file(GLOB ZUV_DIRECTORY_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_executable(zuv_directory_tests ${ZUV_DIRECTORY_TEST_SOURCES})
target_link_libraries(zuv_directory_tests PRIVATE zuv_core GTest::gtest GTest::gtest_main)
target_compile_definitions(zuv_directory_tests PRIVATE ZUV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
gtest_discover_tests(zuv_directory_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
