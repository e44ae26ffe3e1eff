# Warning and sanitizer flags shared by every target of the tree.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra)
  if(TONEGATE_WERROR)
    add_compile_options(-Werror)
  endif()
endif()

if(TONEGATE_SANITIZE)
  add_compile_options(-fsanitize=${TONEGATE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TONEGATE_SANITIZE})
endif()
