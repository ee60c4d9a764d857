# Compiler warnings and sanitizers shared by every target of the project.
add_library(kvzn_warnings INTERFACE)
target_compile_options(kvzn_warnings INTERFACE -Wall -Wextra -Wpedantic -Wnon-virtual-dtor
                       -Wcast-qual -Wformat=2)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(kvzn_warnings INTERFACE -Wshadow=local)
else()
  target_compile_options(kvzn_warnings INTERFACE -Wshadow-uncaptured-local)
endif()
if(KVZN_WERROR)
  target_compile_options(kvzn_warnings INTERFACE -Werror)
endif()

if((KVZN_SANITIZE AND KVZN_TSAN) OR (KVZN_FUZZ AND (KVZN_SANITIZE OR KVZN_TSAN)))
  message(FATAL_ERROR "KVZN_SANITIZE, KVZN_TSAN and KVZN_FUZZ cannot be combined")
endif()
if(KVZN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KVZN_FUZZ needs clang (CXX=clang++ CC=clang)")
  endif()
  # Every library is instrumented for coverage and checked by ASan and UBSan; only the fuzz
  # targets link the fuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KVZN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KVZN_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
