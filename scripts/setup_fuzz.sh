#!/usr/bin/env bash
# Installs what the libFuzzer build needs (clang and its runtime libraries),
# skipping what is already present.
set -euo pipefail

if command -v clang++ >/dev/null 2>&1 &&
   echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
     clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null; then
  exit 0
fi

exec "$(dirname "$0")/install_packages.sh" "clang with libFuzzer, for the fuzz targets" clang libclang-rt-dev
