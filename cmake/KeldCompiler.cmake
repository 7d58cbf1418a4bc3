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

# GCC 12's optimiser reports out-of-bounds and overlapping copies inside the
# standard library's own vector and string code that cannot happen; they
# stay warnings so that an optimised build still goes through.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
  add_compile_options(-Wno-error=array-bounds -Wno-error=restrict -Wno-error=stringop-overflow)
endif()
