# Settings every Glomora target gets: the language level, reproducible floating
# point (no contraction into fused multiply-add, no fast-math), and warnings.
function(glomora_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -ffp-contract=off -fno-fast-math -Wall -Wextra -Wshadow)
  if(GLOMORA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(GLOMORA_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()
