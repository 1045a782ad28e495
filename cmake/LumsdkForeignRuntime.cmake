include_guard(GLOBAL)

# lumsdk_foreign_runtime_env(<test> <env-list>): a sanitized library loaded
# into a foreign runtime (Python, mono) needs the ASan runtime loaded first;
# the runtime's own allocations at exit are not ours to report. Under ASan,
# appends LD_PRELOAD and ASAN_OPTIONS to <env-list>, or unsets it (and says
# why) when the compiler names no runtime, so that <test> is left out.
function(lumsdk_foreign_runtime_env test env_list)
  if(NOT LUMSDK_SANITIZE STREQUAL "address")
    return()
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${runtime}")
    message(STATUS "${test}: no ASan runtime found for ${CMAKE_CXX_COMPILER}; not run")
    unset(${env_list} PARENT_SCOPE)
    return()
  endif()
  set(${env_list} ${${env_list}} LD_PRELOAD=${runtime} ASAN_OPTIONS=detect_leaks=0 PARENT_SCOPE)
endfunction()
