# Warnings on for every target of the project; third-party headers stay quiet as system includes.
function(ktev_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion -Wnon-virtual-dtor -Woverloaded-virtual -Wformat=2)
endfunction()
