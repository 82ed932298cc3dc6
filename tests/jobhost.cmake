# The reference host runtime, tested against small fake job libraries built
# here (the generic fake job, its mesh flavour, and one lacking its entry)
# and against the real library.
function(jobhost_fake_library name)
  add_library(${name} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/fake_job/fake_job.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE heightmesh_abi heightmesh_sanitize heightmesh_warnings)
  target_compile_definitions(${name} PRIVATE ${ARGN})
  # Like the real library: no exceptions of its own, unwind tables kept.
  target_compile_options(${name} PRIVATE -fno-exceptions -fasynchronous-unwind-tables)
endfunction()
jobhost_fake_library(jobhost_fake_job)
jobhost_fake_library(jobhost_fake_mesh_job FAKE_MESH_JOB)
jobhost_fake_library(jobhost_fake_job_no_entry FAKE_JOB_NO_ENTRY)

heightmesh_add_test(jobhost_test
  SOURCES jobhost_library_test.cpp jobhost_run_test.cpp jobhost_safety_test.cpp jobhost_mesh_test.cpp
  LIBS jobhost)
target_compile_definitions(jobhost_test PRIVATE
  FAKE_JOB_PATH="$<TARGET_FILE:jobhost_fake_job>"
  FAKE_MESH_JOB_PATH="$<TARGET_FILE:jobhost_fake_mesh_job>"
  FAKE_JOB_NO_ENTRY_PATH="$<TARGET_FILE:jobhost_fake_job_no_entry>")
add_dependencies(jobhost_test jobhost_fake_job jobhost_fake_mesh_job jobhost_fake_job_no_entry)
