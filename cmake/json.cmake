# fwu_json: Debian's header-only nlohmann-json, for the JSON lines of --json
# (frontends/) and of the update history (app/). A cross build cannot put the
# host's /usr/include on its path, so it sees the library through a directory
# that holds only a link to it.
add_library(fwu_json INTERFACE)
if(CMAKE_CROSSCOMPILING)
  find_path(FWU_NLOHMANN_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(json_include ${CMAKE_BINARY_DIR}/json-include)
  file(MAKE_DIRECTORY ${json_include})
  file(CREATE_LINK ${FWU_NLOHMANN_DIR}/nlohmann ${json_include}/nlohmann SYMBOLIC)
  target_include_directories(fwu_json SYSTEM INTERFACE ${json_include})
else()
  find_package(nlohmann_json 3 REQUIRED)
  target_link_libraries(fwu_json INTERFACE nlohmann_json::nlohmann_json)
endif()
