# Warning and sanitizer flags shared by every target of the project.
add_compile_options(-Wall -Wextra)
if(KELD_WERROR)
  add_compile_options(-Werror)
endif()

if(KELD_SANITIZE)
  set(keld_sanitize_flags
    -fsanitize=address,undefined
    -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer)
  add_compile_options(${keld_sanitize_flags})
  add_link_options(${keld_sanitize_flags})
endif()
