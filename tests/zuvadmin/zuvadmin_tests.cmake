# zuvadmin tests: run the built zuvadmin on private stores; the notification
# test also logs on through the service's MAPI access layer.
file(GLOB ZUVADMIN_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/zuvadmin/*.cpp)
add_executable(zuvadmin_tests ${ZUVADMIN_TEST_SOURCES})
target_link_libraries(zuvadmin_tests PRIVATE zuv_mapi_access GTest::gtest GTest::gtest_main)
target_compile_definitions(zuvadmin_tests PRIVATE ZUVADMIN_BINARY="$<TARGET_FILE:zuvadmin>")
add_dependencies(zuvadmin_tests zuvadmin)
gtest_discover_tests(zuvadmin_tests TEST_PREFIX "zuvadmin." DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
