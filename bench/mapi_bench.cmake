# The message store's benchmark reads the store library's internal headers
# and links the library itself (the service modules do not carry its internals).
if(TARGET mapi_tables_bench)
  target_link_libraries(mapi_tables_bench PRIVATE zuvmapi)
  target_include_directories(mapi_tables_bench PRIVATE ${PROJECT_SOURCE_DIR}/mapi/src)
endif()
if(TARGET notify_latency_load)
  target_link_libraries(notify_latency_load PRIVATE zuvmapi)
  target_include_directories(notify_latency_load PRIVATE ${PROJECT_SOURCE_DIR}/mapi/src)
endif()
