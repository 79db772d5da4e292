# Property-name tables: gen_prop_tags turns data/*.tsv into prop_tags_data.cpp
# in the build tree, compiled into zuv_core beside prop_tags.cpp.
add_executable(gen_prop_tags ${CMAKE_CURRENT_SOURCE_DIR}/gen_prop_tags.cpp)
target_include_directories(gen_prop_tags PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(gen_prop_tags PRIVATE mapi_headers)
# A build-time tool: keep it out of bin/ beside the shipped executables.
set_target_properties(gen_prop_tags PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

set(ZUV_PROP_TAG_DATA
  ${CMAKE_CURRENT_SOURCE_DIR}/data/proptags.tsv
  ${CMAKE_CURRENT_SOURCE_DIR}/data/namedprops.tsv
  ${CMAKE_CURRENT_SOURCE_DIR}/data/guids.tsv)
set(ZUV_PROP_TAG_GENERATED ${CMAKE_CURRENT_BINARY_DIR}/prop_tags_data.cpp)

add_custom_command(
  OUTPUT ${ZUV_PROP_TAG_GENERATED}
  COMMAND gen_prop_tags ${ZUV_PROP_TAG_DATA} ${ZUV_PROP_TAG_GENERATED}
  DEPENDS gen_prop_tags ${ZUV_PROP_TAG_DATA}
  COMMENT "Generating property-name tables"
  VERBATIM)

target_sources(zuv_core PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/prop_tags.cpp
  ${ZUV_PROP_TAG_GENERATED})
