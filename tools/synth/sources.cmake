# The synthesizer's code as a library, so that the tests link the same code
# as the tool.
add_library(synth_core STATIC
  ${CMAKE_SOURCE_DIR}/tools/synth/description.cc
  ${CMAKE_SOURCE_DIR}/tools/synth/field_description.cc
  ${CMAKE_SOURCE_DIR}/tools/synth/field.cc
  ${CMAKE_SOURCE_DIR}/tools/synth/passage.cc
  ${CMAKE_SOURCE_DIR}/tools/synth/thermistor.cc
  ${CMAKE_SOURCE_DIR}/tools/synth/osc_writer.cc
  ${CMAKE_SOURCE_DIR}/tools/synth/json_outputs.cc
)
target_include_directories(synth_core PUBLIC ${CMAKE_SOURCE_DIR} ${RAPIDJSON_INCLUDE_DIR})
