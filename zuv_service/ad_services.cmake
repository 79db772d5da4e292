# Directory services over OpenLDAP (libldap, liblber).
pkg_check_modules(LDAP REQUIRED IMPORTED_TARGET ldap lber)
target_sources(zuv_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ad_services.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ad_services_query.cpp)
target_link_libraries(zuv_core PUBLIC PkgConfig::LDAP)
