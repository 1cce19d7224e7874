# The small programs that bench/run needs beside korvanet and synth: the
# streaming floor, the launcher that measures a run, and the phase probe.
# Included by bench/ (benchmark builds) and by tests/bench/ (the quick bench
# check of the test build); whichever comes first defines them.
include_guard(GLOBAL)

add_executable(osc_floor ${CMAKE_SOURCE_DIR}/bench/osc_floor.cc)
target_include_directories(osc_floor PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(osc_floor PRIVATE Threads::Threads)

add_executable(bench_measure ${CMAKE_SOURCE_DIR}/bench/measure.cc)
set_target_properties(bench_measure PROPERTIES OUTPUT_NAME measure)

add_library(phase_probe MODULE ${CMAKE_SOURCE_DIR}/bench/phase_probe.cc)
target_include_directories(phase_probe PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(phase_probe PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(phase_probe PROPERTIES CXX_VISIBILITY_PRESET hidden)

set_target_properties(osc_floor bench_measure phase_probe PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
