# Strict warnings for the project's own targets only; third-party code keeps its own settings.
function(velantis_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion
                                           -Wsign-conversion -Wnon-virtual-dtor)
  if(VELANTIS_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
