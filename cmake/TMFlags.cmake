# Floating point is part of the product: the same source must give the same bits on
# every target, so no contraction into FMA, no fast-math, and SSE2 arithmetic on
# 32-bit x86 (x87 keeps 80-bit intermediates and rounds differently).
add_compile_options(-ffp-contract=off -fno-fast-math)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86)$")
  add_compile_options(-msse2 -mfpmath=sse)
endif()
# Windows keeps the stack 16-byte aligned (x86: 4), and GCC cannot always realign
# it for spilled 256- and 512-bit registers of the AVX2 and AVX-512 kernels, whose
# aligned moves would then fault. The assembler writes every aligned vector move as
# an unaligned one, which costs nothing on aligned data.
if(MINGW)
  add_compile_options(-Wa,-muse-unaligned-vector-move)
endif()

if(TM_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Strict warnings for the project's own sources only (never GoogleTest's, which the
# Windows builds compile from source). CI turns them into errors; a developer's build
# only reports them, so that a newer compiler's new warning does not stop work.
option(TM_WERROR "Treat warnings in the project's own sources as errors" OFF)
set(TM_WARNING_FLAGS -Wall -Wextra)
if(TM_WERROR)
  list(APPEND TM_WARNING_FLAGS -Werror)
endif()
function(tm_strict target)
  target_compile_options(${target} PRIVATE ${TM_WARNING_FLAGS})
endfunction()
