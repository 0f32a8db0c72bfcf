#!/usr/bin/env bash
# Runs one end-to-end session (a .mjs file beside this script) against the
# node binary, with the wallet libraries of the committed lock file.
#   run_session.sh <session.mjs> <rozeve binary> <build dir>
# Exit status 77 (skipped) when node, npm or the packages are not at hand.
set -euo pipefail

readonly SKIP=77
# npm ci of the pinned packages, from a cold cache.
readonly INSTALL_TIMEOUT_S=300

if [[ $# -ne 3 ]]; then
  echo "usage: $0 <session.mjs> <rozeve binary> <build dir>" >&2
  exit 2
fi
for tool in node npm; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "skipped: '$tool' is not installed"
    exit "$SKIP"
  fi
done

session=$1
mkdir -p "$3"
binary=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
build_dir=$(cd "$3" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

npm_dir="$build_dir/e2e-npm"
mkdir -p "$npm_dir"

# Every dependency of package.json installed at its pinned version.
installed_as_pinned() {
  node -e '
    const fs = require("fs");
    const [manifest, modules] = process.argv.slice(1);
    const pinned = JSON.parse(fs.readFileSync(manifest, "utf8")).dependencies;
    for (const [name, version] of Object.entries(pinned)) {
      try {
        if (JSON.parse(fs.readFileSync(`${modules}/${name}/package.json`, "utf8")).version !== version) process.exit(1);
      } catch { process.exit(1); }
    }' "$here/package.json" "$npm_dir/node_modules"
}

# Sessions run side by side: one installs while the others wait for it.
exec 9>"$npm_dir.lock"
flock 9
# The committed lock file fixes every package; it is installed as it stands.
if ! installed_as_pinned || ! cmp -s "$here/package-lock.json" "$npm_dir/package-lock.json"; then
  cp "$here/package.json" "$here/package-lock.json" "$npm_dir/"
  echo "installing the pinned wallet libraries into $npm_dir"
  install=(npm ci --no-audit --no-fund --loglevel=error)
  if command -v timeout >/dev/null 2>&1; then
    install=(timeout "$INSTALL_TIMEOUT_S" "${install[@]}")
  fi
  if ! (cd "$npm_dir" && "${install[@]}"); then
    echo "skipped: npm ci failed (no registry, or a timeout of ${INSTALL_TIMEOUT_S} s)"
    exit "$SKIP"
  fi
fi
# An ES module resolves packages from its own directory, not from NODE_PATH.
# Replaced by a rename, and only when changed: another session may be
# reading them.
for script in "$here"/*.mjs; do
  target="$npm_dir/$(basename "$script")"
  cmp -s "$script" "$target" || { cp "$script" "$target.tmp" && mv "$target.tmp" "$target"; }
done
exec 9>&-

cd "$npm_dir"
exec node "$session" "$binary" "$build_dir/e2e-work"
