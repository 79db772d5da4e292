# Property-name tables: gen_prop_tags turns data/*.tsv into prop_tags_data.cpp
# in the build tree, compiled into zuv_prop_tags beside prop_tags.cpp. The
# tables are a library of their own so tools can name properties without the
# rest of the MAPI access layer.
add_executable(gen_prop_tags ${CMAKE_CURRENT_LIST_DIR}/gen_prop_tags.cpp)
target_include_directories(gen_prop_tags PRIVATE ${ZUV_MODULE_ROOT}/mapi_access)
target_link_libraries(gen_prop_tags PRIVATE mapi_headers)
# A build-time tool: keep it out of bin/ beside the shipped executables.
set_target_properties(gen_prop_tags PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

set(ZUV_PROP_TAG_DATA
  ${CMAKE_CURRENT_LIST_DIR}/data/proptags.tsv
  ${CMAKE_CURRENT_LIST_DIR}/data/namedprops.tsv
  ${CMAKE_CURRENT_LIST_DIR}/data/guids.tsv)
set(ZUV_PROP_TAG_GENERATED ${CMAKE_CURRENT_BINARY_DIR}/prop_tags_data.cpp)

add_custom_command(
  OUTPUT ${ZUV_PROP_TAG_GENERATED}
  COMMAND gen_prop_tags ${ZUV_PROP_TAG_DATA} ${ZUV_PROP_TAG_GENERATED}
  DEPENDS gen_prop_tags ${ZUV_PROP_TAG_DATA}
  COMMENT "Generating property-name tables"
  VERBATIM)

add_library(zuv_prop_tags STATIC ${CMAKE_CURRENT_LIST_DIR}/prop_tags.cpp ${ZUV_PROP_TAG_GENERATED})
target_include_directories(zuv_prop_tags
  PUBLIC ${ZUV_MODULE_ROOT}/mapi_access
  PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zuv_prop_tags PUBLIC mapi_headers)
