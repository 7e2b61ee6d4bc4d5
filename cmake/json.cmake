# JSON output (veltcfg-check --json) is written with nlohmann-json, a
# header-only library. Where it is not found the programs are built without
# JSON output, and say so when asked for it.
#
#   veltcfg_with_json(TARGET)  links TARGET with it and defines VELTCFG_WITH_JSON
find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND AND CMAKE_CROSSCOMPILING)
  # A cross build looks in the target's tree only. The build machine's
  # headers serve any target, but only their own folder goes on the include
  # path, not the rest of the machine's headers.
  find_path(VELTCFG_JSON_INCLUDE nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH)
  if(VELTCFG_JSON_INCLUDE)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/json-include)
    file(CREATE_LINK ${VELTCFG_JSON_INCLUDE}/nlohmann ${CMAKE_BINARY_DIR}/json-include/nlohmann
      SYMBOLIC)
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/json-include)
    set(nlohmann_json_FOUND TRUE)
  endif()
endif()
if(NOT nlohmann_json_FOUND)
  message(STATUS "JSON output left out: nlohmann-json not found (Debian: apt-get install nlohmann-json3-dev)")
endif()

function(veltcfg_with_json target)
  if(nlohmann_json_FOUND)
    target_link_libraries(${target} PRIVATE nlohmann_json::nlohmann_json)
    target_compile_definitions(${target} PRIVATE VELTCFG_WITH_JSON)
  endif()
endfunction()
