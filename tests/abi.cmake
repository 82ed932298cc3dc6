add_test(NAME abi_audit COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/abi_audit.sh $<TARGET_FILE:heightfield_mesh>)
