# Compiler warnings and sanitizers shared by every target of the project.
add_library(kvzn_warnings INTERFACE)
target_compile_options(kvzn_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow=local
                       -Wnon-virtual-dtor -Wcast-qual -Wformat=2)
if(KVZN_WERROR)
  target_compile_options(kvzn_warnings INTERFACE -Werror)
endif()

if(KVZN_SANITIZE AND KVZN_TSAN)
  message(FATAL_ERROR "KVZN_SANITIZE and KVZN_TSAN cannot be combined")
endif()
if(KVZN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KVZN_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
