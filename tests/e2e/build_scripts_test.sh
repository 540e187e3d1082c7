#!/usr/bin/env bash
# scripts/demo, then scripts/bench, as the README lists them, in a fresh build tree:
# each must configure the tree so that what it runs exists, whatever the other (or a
# hand configuration) left in the cache. Compiling is left out: a stand-in cmake
# configures for real but, asked to build, only checks that every target exists
# ("No rule to make target" otherwise); the suite compiles the same code elsewhere.
#
# Usage: build_scripts_test.sh SOURCE_DIR
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
real=$(command -v cmake)

mkdir "$work/bin"
cat >"$work/bin/cmake" <<EOF
#!/usr/bin/env bash
if [ "\$1" != "--build" ]; then
  exec "$real" "\$@"
fi
dir=\$2
shift 2
targets=()
while [ \$# -gt 0 ]; do
  if [ "\$1" = "--target" ]; then
    shift
    while [ \$# -gt 0 ] && [ "\${1#-}" = "\$1" ]; do targets+=("\$1"); shift; done
  else
    shift
  fi
done
known=\$("$real" --build "\$dir" --target help)
for t in "\${targets[@]}"; do
  if ! grep -qx "\.\.\. \$t" <<<"\$known"; then
    echo "No rule to make target '\$t'" >&2
    exit 2
  fi
done
EOF
chmod +x "$work/bin/cmake"
export PATH="$work/bin:$PATH"
export CATRACA_RELEASE_DIR="$work/release"

step() {
  echo "== $*"
  if ! "$@" >"$work/log" 2>&1; then
    cat "$work/log"
    echo "FAILED: $*"
    exit 1
  fi
}

step "$src/scripts/demo" --build-only
step "$src/scripts/bench" --build-only
# A tree left configured without the server and the benchmark.
step "$real" -S "$src" -B "$work/release" -DCATRACA_SERVER=OFF -DCATRACA_BENCH=OFF
step "$src/scripts/bench" --build-only
step "$real" -S "$src" -B "$work/release" -DCATRACA_SERVER=OFF -DCATRACA_BENCH=OFF
step "$src/scripts/demo" --build-only
echo "demo and bench configured what they run"
