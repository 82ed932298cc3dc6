# Tiling on several machines: scripts/tiles-slurm.sh on a one-machine Slurm
# cluster the test starts and stops itself, and scripts/tiles-parallel.sh
# with a shard killed and resumed; both trees must equal a single run's.
# Skipped, saying why, without Slurm and MUNGE (or root), or GNU parallel
# (scripts/install-deps.sh cluster). Only with the tool built.
if(NOT TARGET heightmesh)
  return()
endif()
# heightmesh_make_dem_tiles, the test rasters' maker, comes from tool.cmake.
# The Slurm test alone: its cluster's jobs need the machine's cores to
# themselves, or they wait for them.
add_test(NAME cluster_slurm
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cluster_slurm_test.sh $<TARGET_FILE:heightmesh>
    $<TARGET_FILE:heightmesh_make_dem_tiles> ${CMAKE_CURRENT_BINARY_DIR}/cluster-slurm)
set_tests_properties(cluster_slurm PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL TRUE)
add_test(NAME cluster_parallel
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cluster_parallel_test.sh $<TARGET_FILE:heightmesh>
    $<TARGET_FILE:heightmesh_make_dem_tiles> ${CMAKE_CURRENT_BINARY_DIR}/cluster-parallel)
set_tests_properties(cluster_parallel PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 240)
