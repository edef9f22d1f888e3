# Strict warnings for the project's own targets; generated protobuf code is left out.
function(tevrik_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
    -Wcast-align -Wunused -Wnull-dereference -Wformat=2)
  if(TEVRIK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
