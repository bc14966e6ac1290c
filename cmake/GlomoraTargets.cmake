# Settings every Glomora target gets: the language level, reproducible floating
# point (no contraction into fused multiply-add, no fast-math), and warnings.
function(glomora_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -ffp-contract=off -fno-fast-math -Wall -Wextra -Wshadow)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12's straight-line vectoriser folds a pair of double -> float -> double
    # conversions into a plain copy, silently dropping the rounding to float
    # that the geometry depends on. Loop vectorisation is unaffected.
    target_compile_options(${target} PRIVATE -fno-tree-slp-vectorize)
  endif()
  if(GLOMORA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(GLOMORA_SANITIZE)
    # float-cast-overflow: a float converted to an integer it does not fit
    # (NaN, infinities, huge coordinates turned into lattice indices) is
    # undefined behaviour that GCC's "undefined" group does not check.
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined,float-cast-overflow
                                             -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined,float-cast-overflow)
  endif()
  if(GLOMORA_FUZZ)
    # Coverage instrumentation for libFuzzer on every target; only the fuzz
    # executables link the fuzzer's main (fuzz/CMakeLists.txt).
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link,address,undefined,float-cast-overflow
                                             -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined,float-cast-overflow)
  endif()
endfunction()

# One of the product's libraries: a static library of the folder it is made
# in, from `ARGN`, with that folder as its public include directory,
# position-independent (the Python module links it too) and the defaults.
function(glomora_folder_library target)
  add_library(${target} STATIC ${ARGN})
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  glomora_target_defaults(${target})
endfunction()
