# Our own code builds warning-free; third-party headers come in as SYSTEM includes.
function(brackwater_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-missing-field-initializers)
endfunction()
