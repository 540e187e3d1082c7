#!/usr/bin/env bash
# The demo with its input closed: it shows the first screen, ends by itself with
# status 0, says where the data is, and leaves no process behind.
# Usage: demo_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1
build=$2
db="$build/demo/ru.db"

out=$(CATRACA_BUILD="$build" timeout 60 "$src/scripts/demo" </dev/null 2>&1)
status=$?
fail() {
  echo "FAIL: $*"
  echo "--- demo output ---"
  echo "$out" | tail -n 40
  exit 1
}
[ "$status" -eq 0 ] || fail "exit status $status"
grep -q '^ru-server is listening on 127\.0\.0\.1:[0-9]*' <<<"$out" || fail "no listening line"
grep -q '^User 1001 Credito 10$' <<<"$out" || fail "the sample roster is not on the screen"
grep -q '^127\.0\.0\.1$' <<<"$out" || fail "the address answer is not shown"
grep -qF "The demo has ended. Its data is in $db" <<<"$out" || fail "no closing line"
[ -s "$db" ] || fail "no database at $db"
if pgrep -f -- "$db" >/dev/null; then
  fail "processes left behind: $(pgrep -a -f -- "$db")"
fi
echo "demo ok"
