# One switch for sanitizer builds: -DSANDBOX_SANITIZE=address,undefined (or thread).
if(SANDBOX_SANITIZE)
  set(_san_flags -fsanitize=${SANDBOX_SANITIZE} -fno-omit-frame-pointer -g)
  if(SANDBOX_SANITIZE MATCHES "undefined")
    list(APPEND _san_flags -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_san_flags})
  add_link_options(-fsanitize=${SANDBOX_SANITIZE})
endif()
