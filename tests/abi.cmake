add_test(NAME abi_audit COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/abi_audit.sh $<TARGET_FILE:heightfield_mesh>)
# The ABI header compiled as C, and its count helpers compared across C and C++.
heightmesh_add_test(abi_count_test SOURCES abi_count_test.cpp abi_c_check.c LIBS heightmesh_abi)
set_source_files_properties(abi_c_check.c PROPERTIES COMPILE_OPTIONS "-std=c11;-pedantic")
# One style for the tree, where clang-format and git are at hand.
find_program(HEIGHTMESH_CLANG_FORMAT NAMES clang-format-14 clang-format)
find_package(Git QUIET)
if(HEIGHTMESH_CLANG_FORMAT AND GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  add_test(NAME format_check COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/format_check.sh ${HEIGHTMESH_CLANG_FORMAT})
endif()
