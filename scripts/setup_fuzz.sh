#!/usr/bin/env bash
# Installs what the libFuzzer build needs (clang and its runtime libraries),
# skipping what is already present.
set -euo pipefail

if command -v clang++ >/dev/null 2>&1 &&
   echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
     clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null; then
  exit 0
fi

packages=(clang libclang-rt-dev)
echo "setup: installing ${packages[*]} for the fuzz targets"
if [ "$(id -u)" -eq 0 ]; then
  apt_get=(apt-get)
elif command -v sudo >/dev/null 2>&1; then
  apt_get=(sudo apt-get)
else
  echo "setup: clang with libFuzzer is missing and there are no root rights to install it" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${apt_get[@]}" update -qq
"${apt_get[@]}" install -y -qq --no-install-recommends "${packages[@]}"
