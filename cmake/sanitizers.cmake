# Drops the sanitizer options of the calling directory: for code that goes
# into the virtual token, which programs without sanitizers (pkcs11-tool)
# load. The fuzz build keeps them.
function(monitor_build_without_sanitizers)
  if(MONITOR_FUZZ)
    return()
  endif()
  foreach(property COMPILE_OPTIONS LINK_OPTIONS)
    get_directory_property(options ${property})
    list(FILTER options EXCLUDE REGEX "sanitize")
    set_directory_properties(PROPERTIES ${property} "${options}")
  endforeach()
endfunction()
