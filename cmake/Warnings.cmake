# Compiler options shared by every target of the project.
add_library(quillon_options INTERFACE)
target_compile_options(quillon_options INTERFACE
  -Wall -Wextra -Wshadow -Wsuggest-override -Wformat=2 -Wimplicit-fallthrough
  -Wnon-virtual-dtor)
if(QUILLON_WERROR)
  target_compile_options(quillon_options INTERFACE -Werror)
endif()
if(QUILLON_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_compile_options(quillon_options INTERFACE ${_san})
  target_link_options(quillon_options INTERFACE ${_san})
endif()
