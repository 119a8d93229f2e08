include(GNUInstallDirs)

# Warnings for our own targets; -Werror is left to CI so that a newer compiler cannot
# break a user's build.
function(vita49_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(VITA49_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()

option(VITA49_WERROR "Treat warnings as errors" OFF)
