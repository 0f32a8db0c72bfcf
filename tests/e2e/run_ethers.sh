#!/usr/bin/env bash
# Runs the ethers wallet session against the node binary.
#   run_ethers.sh <rozeve binary> <build dir>
# Exit status 77 (skipped) when node, npm or the ethers package is not at hand.
set -euo pipefail

readonly SKIP=77
# npm ci of the pinned ethers, from a cold cache.
readonly INSTALL_TIMEOUT_S=120

if [[ $# -ne 2 ]]; then
  echo "usage: $0 <rozeve binary> <build dir>" >&2
  exit 2
fi
for tool in node npm; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "skipped: '$tool' is not installed"
    exit "$SKIP"
  fi
done

mkdir -p "$2"
binary=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
build_dir=$(cd "$2" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

npm_dir="$build_dir/e2e-npm"
mkdir -p "$npm_dir"
pinned=$(node -e 'console.log(require(process.argv[1]).dependencies.ethers)' "$here/package.json")
installed=$(node -e 'try { console.log(require(process.argv[1]).version) } catch { console.log("") }' \
  "$npm_dir/node_modules/ethers/package.json")

# The committed lock file fixes every package; it is installed as it stands.
if [[ "$installed" != "$pinned" ]] || ! cmp -s "$here/package-lock.json" "$npm_dir/package-lock.json"; then
  cp "$here/package.json" "$here/package-lock.json" "$npm_dir/"
  echo "installing ethers $pinned into $npm_dir"
  install=(npm ci --no-audit --no-fund --loglevel=error)
  if command -v timeout >/dev/null 2>&1; then
    install=(timeout "$INSTALL_TIMEOUT_S" "${install[@]}")
  fi
  if ! (cd "$npm_dir" && "${install[@]}"); then
    echo "skipped: npm ci of ethers $pinned failed (no registry, or a timeout of ${INSTALL_TIMEOUT_S} s)"
    exit "$SKIP"
  fi
fi

# An ES module resolves 'ethers' from its own directory, not from NODE_PATH.
cp "$here/ethers_wallet.mjs" "$npm_dir/ethers_wallet.mjs"
cd "$npm_dir"
exec node ethers_wallet.mjs "$binary" "$build_dir/e2e-work"
