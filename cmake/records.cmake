# The two records the updater carries (137 configuration, 138 package).
# tools/ builds them from the demo manifest with fwpkg (target fwu_records);
# FWU_CONFIG_RECORD / FWU_PACKAGE_RECORD point the build at other files.
# fwu_embed_records(<target>) puts them into an executable: a generated
# source on Linux, resources of type "KVT_UPDATE_PKG" on Windows.
set(FWU_RECORDS_DIR ${CMAKE_BINARY_DIR}/records)
set(FWU_DEMO_MANIFEST ${PROJECT_SOURCE_DIR}/tools/demo/default.manifest)

if(FWU_CONFIG_RECORD)
  set(FWU_EMBED_CONFIG ${FWU_CONFIG_RECORD})
else()
  set(FWU_EMBED_CONFIG ${FWU_RECORDS_DIR}/config.bin)
endif()
if(FWU_PACKAGE_RECORD)
  set(FWU_EMBED_PACKAGE ${FWU_PACKAGE_RECORD})
else()
  set(FWU_EMBED_PACKAGE ${FWU_RECORDS_DIR}/package.bin)
endif()

if(WIN32)
  enable_language(RC)
  set(FWU_RECORDS_RC ${FWU_RECORDS_DIR}/records.rc)
  configure_file(${PROJECT_SOURCE_DIR}/platform/windows/records.rc.in ${FWU_RECORDS_RC} @ONLY)
else()
  set(FWU_RECORDS_SOURCE ${FWU_RECORDS_DIR}/records_data.cpp)
endif()

function(fwu_embed_records target)
  add_dependencies(${target} fwu_records)
  if(WIN32)
    target_sources(${target} PRIVATE ${FWU_RECORDS_RC})
    set_source_files_properties(${FWU_RECORDS_RC} TARGET_DIRECTORY ${target} PROPERTIES
      OBJECT_DEPENDS "${FWU_EMBED_CONFIG};${FWU_EMBED_PACKAGE}")
  else()
    target_sources(${target} PRIVATE ${FWU_RECORDS_SOURCE})
    set_source_files_properties(${FWU_RECORDS_SOURCE} TARGET_DIRECTORY ${target} PROPERTIES
      GENERATED TRUE)
  endif()
endfunction()
