# Warning flags shared by every target of the project.
option(VORN_WERROR "Treat warnings as errors" OFF)

function(vorn_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion)
  if(VORN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
