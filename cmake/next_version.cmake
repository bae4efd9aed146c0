# The next version of the product, for the scenarios that update or upgrade
# to it: sets next_tweak, next_version (a.b.c.d+1) and next_product, the
# next version's product folder: the monitor built with that version and the
# client configuration naming it, beside this version's other files.
function(monitor_add_next_product)
  math(EXPR tweak "${PROJECT_VERSION_TWEAK} + 1")
  set(version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${tweak})
  set(product ${CMAKE_BINARY_DIR}/product-next)
  add_executable(CorvanexEMon_next WIN32 ${CMAKE_SOURCE_DIR}/src/app/winmain_win.cpp
    ${CMAKE_SOURCE_DIR}/resources/monitor.rc)
  target_compile_definitions(CorvanexEMon_next PRIVATE MONITOR_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    MONITOR_VERSION_MINOR=${PROJECT_VERSION_MINOR} MONITOR_VERSION_PATCH=${PROJECT_VERSION_PATCH}
    MONITOR_VERSION_BUILD=${tweak})
  target_include_directories(CorvanexEMon_next PRIVATE ${CMAKE_SOURCE_DIR}/resources)
  target_link_options(CorvanexEMon_next PRIVATE -municode)
  target_link_libraries(CorvanexEMon_next PRIVATE monitor_win)
  set_target_properties(CorvanexEMon_next PROPERTIES OUTPUT_NAME CorvanexEMon
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/next-bin)
  monitor_sign_target(CorvanexEMon_next)
  set(PROJECT_VERSION ${version})
  configure_file(${CMAKE_SOURCE_DIR}/resources/ClientConfig.txt.in
    ${CMAKE_BINARY_DIR}/next-bin/ClientConfig.txt)
  add_custom_command(OUTPUT ${product}/CorvanexEMon.exe
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PRODUCT_DIR} ${product}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:CorvanexEMon_next> ${product}/
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/next-bin/ClientConfig.txt
            ${product}/config/
    DEPENDS CorvanexEMon_next CorvanexEMon CorvanexMgr CorvanexCsp V9ArcPKIMgr product_data
            ${MONITOR_PROVIDER64}
    VERBATIM)
  set(next_tweak ${tweak} PARENT_SCOPE)
  set(next_version ${version} PARENT_SCOPE)
  set(next_product ${product} PARENT_SCOPE)
endfunction()
