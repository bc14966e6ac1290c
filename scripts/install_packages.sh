#!/usr/bin/env bash
# Installs the named Debian packages with apt-get, as root or through sudo.
# Usage: scripts/install_packages.sh PURPOSE PACKAGE...
set -euo pipefail

purpose="$1"
shift
echo "setup: installing $* ($purpose)"
if [ "$(id -u)" -eq 0 ]; then
  apt_get=(apt-get)
elif command -v sudo >/dev/null 2>&1; then
  apt_get=(sudo apt-get)
else
  echo "setup: $purpose: missing packages ($*) and no root rights to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${apt_get[@]}" update -qq
"${apt_get[@]}" install -y -qq --no-install-recommends "$@"
