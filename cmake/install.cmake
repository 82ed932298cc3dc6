# cmake --install: the job library, the ABI header, jobhost (static library and
# header), a CMake package (find_package(heightmesh CONFIG) gives
# heightmesh::abi, heightmesh::jobhost and heightmesh::heightfield_mesh, the
# library a host opens) and a pkg-config file. The tool installs itself in
# tools/heightmesh.
include(CMakePackageConfigHelpers)

set(HEIGHTMESH_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/heightmesh)

install(TARGETS heightfield_mesh heightmesh_abi jobhost EXPORT heightmeshTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/heightmesh/job_abi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/heightmesh)
install(FILES ${PROJECT_SOURCE_DIR}/jobhost/include/jobhost/jobhost.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/jobhost)

install(EXPORT heightmeshTargets NAMESPACE heightmesh:: DESTINATION ${HEIGHTMESH_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/heightmeshConfig.cmake.in
  ${PROJECT_BINARY_DIR}/heightmeshConfig.cmake INSTALL_DESTINATION ${HEIGHTMESH_CMAKE_DIR})
# Before 1.0 a minor version may break the ABI.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/heightmeshConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/heightmeshConfig.cmake ${PROJECT_BINARY_DIR}/heightmeshConfigVersion.cmake
  DESTINATION ${HEIGHTMESH_CMAKE_DIR})

# heightmesh.pc finds the prefix from its own place, so a moved install works.
file(RELATIVE_PATH HEIGHTMESH_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" HEIGHTMESH_PC_TO_PREFIX "${HEIGHTMESH_PC_TO_PREFIX}")
set(HEIGHTMESH_PC_LIBS "-ljobhost")
if(NOT WIN32)
  string(APPEND HEIGHTMESH_PC_LIBS " -pthread")
endif()
foreach(lib IN LISTS CMAKE_DL_LIBS)
  string(APPEND HEIGHTMESH_PC_LIBS " -l${lib}")
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/heightmesh.pc.in ${PROJECT_BINARY_DIR}/heightmesh.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/heightmesh.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
