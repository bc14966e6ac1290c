#!/usr/bin/env bash
# Installs the USD reader the tests check the tool's USD layers with: npm's
# tinyusdz at the version pinned in scripts/usd_reader/package-lock.json,
# into .deps/usd-reader of the checkout (ignored by git), never globally.
# Without Node and npm, or when the registry cannot be reached, it says so
# and the USD tests skip; with GLOMORA_USD_DEPS set (CI) that is an error.
set -euo pipefail
cd "$(dirname "$0")/.."

pinned=scripts/usd_reader
target=.deps/usd-reader
fail() {
  if [ -n "${GLOMORA_USD_DEPS:-}" ]; then
    echo "setup: $1" >&2
    exit 1
  fi
  echo "setup: $1; the USD tests will skip" >&2
  exit 0
}

if [ -f "$target/node_modules/tinyusdz/tinyusdz.wasm" ] && cmp -s "$pinned/package-lock.json" "$target/package-lock.json"; then
  echo "setup: the USD reader (tinyusdz) is installed"
  exit 0
fi
command -v npm >/dev/null 2>&1 || fail "npm is not installed, so the USD reader (npm's tinyusdz) is not"
echo "setup: installing the USD reader (npm's tinyusdz) into $target"
rm -rf "$target"
mkdir -p "$target"
cp "$pinned/package.json" "$pinned/package-lock.json" "$target/"
(cd "$target" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error --fetch-retries=1 --fetch-timeout=60000) ||
  { rm -rf "$target"; fail "npm could not install the USD reader (npm's tinyusdz)"; }
