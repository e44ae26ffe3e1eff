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

# Shared libraries and driver modules are linked with every symbol resolved,
# except in clang's sanitizer builds: clang puts a sanitizer's runtime into the
# executable only, so a library's calls into it stay open until it is loaded.
set(TONEGATE_NO_UNDEFINED "LINKER:--no-undefined")
if(TONEGATE_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(TONEGATE_NO_UNDEFINED "")
endif()
