#!/usr/bin/env bash
# The Debian packages as installed: unpacks them (dpkg -x) into a scratch root, checks
# their systemd units with systemd-analyze verify, and runs the unpacked
# catraca-console, catraca and ru-server against each other on loopback (under
# qemu-user for arm64 packages): the launcher answers the prompts from a configuration file, a card
# is admitted and let out, the server stores its event, and the status comes back.
# Usage: installed_test.sh DEB... ; prints "installed packages ok" at the end.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: installed_test.sh DEB..." >&2; exit 2; }

root=$(mktemp -d)
server=""
cleanup() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$root"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

arch=""
version=""
for deb in "$@"; do
  dpkg-deb --info "$deb" >/dev/null || fail "dpkg-deb --info $deb"
  arch=$(dpkg-deb -f "$deb" Architecture)
  version=$(dpkg-deb -f "$deb" Version)
  dpkg -x "$deb" "$root"
done
for f in usr/bin/catraca usr/bin/catraca-console usr/bin/ru-server etc/default/catraca \
  etc/default/ru-server usr/lib/systemd/system/catraca-console@.service \
  usr/lib/systemd/system/ru-server.service usr/share/doc/ru-server/examples/roster.json \
  usr/share/man/man1/catraca.1.gz usr/share/man/man8/catraca-console.8.gz \
  usr/share/man/man8/ru-server.8.gz; do
  [ -e "$root/$f" ] || fail "the packages do not install /$f"
done

# One version: the packages', each changelog's and each manual page's.
for package in catraca ru-server; do
  doc="$root/usr/share/doc/$package"
  head=$(zcat "$doc/changelog.gz" | sed -n 1p)
  [ "$head" = "$package ($version) unstable; urgency=medium" ] ||
    fail "$package's changelog starts with '$head', not version $version"
  grep -q '^License: Expat$' "$doc/copyright" && grep -q '^Files: server/web/chart.umd.js$' \
    "$doc/copyright" || fail "$package's copyright file lacks the licence or Chart.js"
done
for page in man1/catraca.1 man8/catraca-console.8 man8/ru-server.8; do
  zcat "$root/usr/share/man/$page.gz" | grep "^\.TH .* $version\"" >/dev/null ||
    fail "/usr/share/man/$page.gz does not name version $version"
done

# The units as installed, with their programs found in the scratch root; the template
# is checked as an instance on tty1.
if command -v systemd-analyze >/dev/null; then
  units="$root/units"
  mkdir -p "$units"
  sed "s|/usr/bin/|$root/usr/bin/|g" "$root/usr/lib/systemd/system/ru-server.service" \
    >"$units/ru-server.service"
  sed "s|/usr/bin/|$root/usr/bin/|g" "$root/usr/lib/systemd/system/catraca-console@.service" \
    >"$units/catraca-console@tty1.service"
  # Their Documentation= pages are looked up among those of the packages.
  verify=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$units/ru-server.service" \
    "$units/catraca-console@tty1.service" 2>&1) || fail "systemd-analyze verify: $verify"
  # Only complaints about units outside the package (not installed in a container).
  if grep -v -e 'getty@tty1.service' -e 'systemd-user-sessions' <<<"$verify" | grep -q .; then
    fail "systemd-analyze verify: $verify"
  fi
else
  echo "systemd-analyze not installed: units not verified"
fi

# Programs of another architecture run under qemu-user, which cannot follow the
# launcher's own start of catraca: the launcher is then told to start it through qemu.
bin="$root/usr/bin"
run=()
catraca=()
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  case "$arch" in
    arm64) emulator=qemu-aarch64 ;;
    *) emulator="" ;;
  esac
  if [ -z "$emulator" ] || ! command -v "$emulator" >/dev/null; then
    echo "installed packages ok (unpacked and verified; no emulator to run $arch programs)"
    exit 0
  fi
  run=("$emulator")
  catraca=(-- "$emulator" "$bin/catraca")
fi

for program in catraca catraca-console ru-server; do
  said=$("${run[@]}" "$bin/$program" --version) || fail "$program --version failed"
  [ "$said" = "$program $version" ] || fail "$program --version says '$said', not $version"
done

"${run[@]}" "$bin/ru-server" --db "$root/ru.db" --import "$root/usr/share/doc/ru-server/examples/roster.json" \
  --port 0 >"$root/server.log" 2>&1 &
server=$!
port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's/^ru-server listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$root/server.log")
  [ -n "$port" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || fail "ru-server did not start: $(cat "$root/server.log")"

cat >"$root/catraca.conf" <<CONF
# written by installed_test.sh
CATRACA_SERVER=127.0.0.1
CATRACA_PORT="$port"
CATRACA_OPTIONS=
CONF
status=0
printf '1 8F3A21C0\n2 8F3A21C0\n' |
  "${run[@]}" "$bin/catraca-console" --config "$root/catraca.conf" "${catraca[@]}" \
    >"$root/out" 2>"$root/err" || status=$?
[ "$status" -eq 0 ] || fail "status $status; stderr: $(cat "$root/err")"
prompts=$'Digite o ip do servidor\nDigite a porta\n'
[ "$(head -c ${#prompts} "$root/out")" = "${prompts%$'\n'}" ] ||
  fail "the console does not start with the two prompts: $(head -c 200 "$root/out")"
grep -q '^AUTORIZADO\.\.\. novo credito (na placa): 9$' "$root/out" || fail "no admission"
grep -q '^servidor atualizado$' "$root/out" || fail "no server update"
grep -q 'catraca-console' "$root/out" && fail "launcher bytes on the console"
[ ${#run[@]} -gt 0 ] ||
  grep -qF "starting $bin/catraca for server 127.0.0.1 port $port" "$root/err" ||
  fail "the launcher did not run the catraca beside it: $(cat "$root/err")"
grep -q '^POST /transaction/1001 201$' "$root/server.log" ||
  fail "the server did not store the event: $(cat "$root/server.log")"
echo "installed packages ok${run:+ (run under ${run[*]})}"
