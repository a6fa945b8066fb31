# Project-wide warning flags, applied through sandbox_warnings.
add_library(sandbox_warnings INTERFACE)
target_compile_options(sandbox_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
if(SANDBOX_WERROR)
  target_compile_options(sandbox_warnings INTERFACE -Werror)
endif()
