# The installed package used from outside: find_package and pkg-config hosts
# built against a fresh install of this build, and the installed tool run
# from a moved prefix. A sanitizer build's jobhost needs the sanitizer's
# runtime, so its hosts link with the same flags.
if(HEIGHTMESH_BUILD_TOOLS)
  set(install_test_with_tool ON)
else()
  set(install_test_with_tool OFF)
endif()
add_test(NAME install_package
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh ${PROJECT_BINARY_DIR} ${CMAKE_CXX_COMPILER}
    ${PROJECT_VERSION} ${CMAKE_INSTALL_LIBDIR} ${install_test_with_tool}
    "$<JOIN:$<TARGET_PROPERTY:heightmesh_sanitize,INTERFACE_LINK_OPTIONS>, >")
set_tests_properties(install_package PROPERTIES TIMEOUT 300)
