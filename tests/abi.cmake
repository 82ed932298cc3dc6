add_test(NAME abi_audit COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/abi_audit.sh $<TARGET_FILE:heightfield_mesh>)
# The ABI header compiled as C, and its count helpers compared across C and C++.
heightmesh_add_test(abi_count_test SOURCES abi_count_test.cpp abi_c_check.c LIBS heightmesh_abi)
set_source_files_properties(abi_c_check.c PROPERTIES COMPILE_OPTIONS "-std=c11;-pedantic")
