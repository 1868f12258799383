# proj_warnings(target): our own warning set; never applied to generated stubs.
function(proj_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
  if(PROJ_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
