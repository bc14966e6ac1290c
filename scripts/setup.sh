#!/usr/bin/env bash
# Installs the Debian packages the build needs, skipping those already present.
set -euo pipefail

# OpenVDB's CMake module also needs Boost.Iostreams, which libopenvdb-dev does
# not pull in; the volume tests read files back with python3-openvdb under pytest;
# VTK's Python bindings (python3-vtk9) write the particle files the readers'
# tests read back, and bench/perf.sh times the peers' reference tools with them.
packages=(g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libcli11-dev libtinyobjloader-dev libexpat1-dev zlib1g-dev
          libopenvdb-dev libboost-iostreams-dev libtbb-dev libpng-dev
          python3 python3-openvdb python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest
          python3-distributed python3-vtk9)
# The farm test runs a one-node Slurm cluster of its own (it is skipped,
# saying so, without these); CI installs them.
if [ -n "${GLOMORA_CLUSTER_DEPS:-}" ]; then
  packages+=(slurmctld slurmd slurm-client munge)
fi
# The Blender add-on's tests run Debian's Blender headless (skipped, saying
# so, without it); CI installs it.
if [ -n "${GLOMORA_BLENDER_DEPS:-}" ]; then
  packages+=(blender)
fi
# The USD tests read the layers back with npm's tinyusdz under Node
# (scripts/setup_usd_reader.sh); with GLOMORA_USD_DEPS (CI) Node and npm
# come from Debian when the machine has none.
if [ -n "${GLOMORA_USD_DEPS:-}" ] && ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all build dependencies are installed"
else
  "$(dirname "$0")/install_packages.sh" "build dependencies" "${missing[@]}"
fi

exec "$(dirname "$0")/setup_usd_reader.sh"
