# heightmesh, the command-line tool: unit tests of its library parts, and
# end-to-end runs of the built executable against jobhost's own run of the job.
find_package(PNG REQUIRED)

heightmesh_add_test(tool_test
  SOURCES tool_heightmap_test.cpp tool_raster_test.cpp tool_writers_test.cpp tool_cli_test.cpp tool_simplify_test.cpp
    tool_tiles_test.cpp tool_pyramid_test.cpp tool_shards_test.cpp
  LIBS heightmesh_tool_job PNG::PNG)

# A job library whose entry fails at once, for the tool's report of job failures.
add_library(tool_failing_job SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tool_failing_job.cpp)
target_link_libraries(tool_failing_job PRIVATE heightmesh_abi heightmesh_warnings)
target_compile_options(tool_failing_job PRIVATE -fasynchronous-unwind-tables)

heightmesh_add_test(tool_end_to_end_test
  SOURCES tool_end_to_end_test.cpp tool_run_test.cpp tool_tiles_process_test.cpp
  LIBS heightmesh_tool_job PNG::PNG)
target_compile_definitions(tool_end_to_end_test PRIVATE
  HEIGHTMESH_TOOL_PATH="$<TARGET_FILE:heightmesh>"
  TOOL_FAILING_JOB_PATH="$<TARGET_FILE:tool_failing_job>"
  HEIGHTMESH_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden")
add_dependencies(tool_end_to_end_test heightmesh tool_failing_job)

# The tileset in headless Chromium through heightmesh serve and CesiumJS
# (skipped, saying why, without Chromium or the npm packages).
if(NOT TARGET heightmesh_make_dem_tiles)
  find_package(GDAL REQUIRED)
  add_executable(heightmesh_make_dem_tiles ${PROJECT_SOURCE_DIR}/bench/make_dem_tiles.cpp)
  target_link_libraries(heightmesh_make_dem_tiles PRIVATE GDAL::GDAL heightmesh_warnings)
endif()
add_test(NAME browser_viewer
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/browser_test.sh $<TARGET_FILE:heightmesh>
    $<TARGET_FILE:heightmesh_make_dem_tiles> ${CMAKE_CURRENT_BINARY_DIR}/browser)
set_tests_properties(browser_viewer PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 400)
