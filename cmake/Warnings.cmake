# Our own code builds warning-free; third-party headers come in as SYSTEM includes. Warnings stop
# the build only when asked (the project's scripts and CI ask): a user's newer or older compiler
# may warn where ours does not, and that must not keep them from building.
option(BRACKWATER_WERROR "Treat compiler warnings as errors" OFF)
function(brackwater_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-missing-field-initializers)
  if(BRACKWATER_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
