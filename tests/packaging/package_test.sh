#!/usr/bin/env bash
# Builds the Debian package with CPack in the build folder and checks it: the
# programs that were built, the systemd unit (verified by systemd-analyze
# against the packaged program), the unit's user, the gzipped man pages
# (each formats without a warning), the example configurations, the control
# fields and the maintainer script. A real `dpkg -i` changes the machine, so
# it runs only with TARVOLEN_PACKAGE_INSTALL=1 (as root).
#   package_test.sh BUILD_DIR
set -uo pipefail

build="$(cd "$1" && pwd)"
work="$(mktemp -d /tmp/tarvolen-package.XXXXXX)"
failures=0
trap 'if [ "$failures" -eq 0 ]; then rm -rf "$work"; else echo "kept for inspection: $work"; fi' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() {  # check DESCRIPTION COMMAND...
  local what="$1"; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
missing_prerequisite() {
  if [ "${CI:-}" = "true" ]; then echo "FAIL (CI=true, prerequisite missing): $*"; exit 1; fi
  echo "SKIP: $*"; exit 77
}

for tool in cpack dpkg-deb dpkg-shlibdeps systemd-analyze man gzip; do
  command -v "$tool" >/dev/null || missing_prerequisite "$tool is not installed (scripts/install-deps.sh)"
done

# A package of its own: CPack's staging folder is private to this run.
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack -G DEB"; exit 1; }
debs=("$work"/out/tarvolen_*.deb)
[ -f "${debs[0]}" ] || { fail "a package tarvolen_VERSION_ARCH.deb is made"; exit 1; }
deb="${debs[0]}"
pass "cpack made ${deb##*/}"

contents="$(dpkg-deb -c "$deb" | awk '{print $1, $6}')"
has() {  # has MODE PATH: the package holds PATH with permissions MODE
  grep -qxF -e "$1 ./$2" <<<"$contents"
}
for program in app/tarvolen scan/tarvolen-scan watch/tarvolen-watch; do
  [ -x "$build/$program" ] || continue
  check "it installs ${program##*/} as an executable in /usr/bin" has -rwxr-xr-x "usr/bin/${program##*/}"
done
check "the template unit" has -rw-r--r-- "usr/lib/systemd/system/tarvolen-watch@.service"
check "the unit's user" has -rw-r--r-- "usr/lib/sysusers.d/tarvolen.conf"
for page in tarvolen tarvolen-scan tarvolen-watch; do
  check "the man page $page(1), gzipped" has -rw-r--r-- "usr/share/man/man1/$page.1.gz"
done
for example in Tarvolen.json Tarvolen.events.json camera.json tarvolen-alerts.yml; do
  check "the example $example" has -rw-r--r-- "usr/share/doc/tarvolen/examples/$example"
done
check "the Slurm array job, executable" has -rwxr-xr-x "usr/share/tarvolen/slurm/tarvolen-scan.sbatch"
check "nothing outside /usr" bash -c "! grep -vE ' \./(usr/.*)?$' <<<'$contents'"

info="$(dpkg-deb -I "$deb")"
field() { sed -n "s/^ $1: //p" <<<"$info"; }
check "Package: tarvolen" [ "$(field Package)" = "tarvolen" ]
check "Version matches the project's ($(field Version))" \
  [ "$(field Version)" = "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ]
check "Depends names the libraries the programs link ($(field Depends | cut -c1-60)...)" \
  bash -c "grep -q 'libavformat' <<<'$(field Depends)' && grep -q 'libopencv-core' <<<'$(field Depends)'"
check "a postinst that is valid shell" bash -c "dpkg-deb --ctrl-tarfile '$deb' | tar -xO ./postinst | sh -n"

root="$work/root"
dpkg-deb -x "$deb" "$root"

# The man pages format cleanly.
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings="$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
  check "${page##*/} formats without a warning${warnings:+ ($warnings)}" [ -z "$warnings" ]
  check "${page##*/} is named in its NAME section" \
    bash -c "MANWIDTH=200 man -l '$page' 2>/dev/null | grep -A1 '^NAME' | grep -q '$(basename "$page" .1.gz) '"
done

# The unit verifies against the packaged program (a stand-in until the
# watcher is built in this tree), with no warning at all.
unit_dir="$work/units"
mkdir -p "$unit_dir"
program="$root/usr/bin/tarvolen-watch"
if [ ! -x "$program" ]; then
  echo "note: the watcher is not in this build; the unit is verified against a stand-in"
  program="$work/tarvolen-watch"
  printf '#!/bin/sh\nexit 0\n' >"$program"
  chmod +x "$program"
fi
sed "s#^ExecStart=/usr/bin/tarvolen-watch #ExecStart=$program #" \
  "$root/usr/lib/systemd/system/tarvolen-watch@.service" >"$unit_dir/tarvolen-watch@.service"
check "the unit starts /usr/bin/tarvolen-watch with the instance's configuration" \
  grep -qxF 'ExecStart=/usr/bin/tarvolen-watch --config /etc/tarvolen/%i.json' "$root/usr/lib/systemd/system/tarvolen-watch@.service"
verify="$(systemd-analyze verify --man=no "$unit_dir/tarvolen-watch@.service" 2>&1)"
check "systemd-analyze verify accepts the unit${verify:+: $verify}" [ -z "$verify" ]
for setting in User=tarvolen SupplementaryGroups=video Restart=on-failure NoNewPrivileges=yes ProtectSystem=strict \
               ProtectHome=yes PrivateTmp=yes 'ReadWritePaths=/var/lib/tarvolen/%i'; do
  check "the unit sets $setting" grep -qxF "$setting" "$unit_dir/tarvolen-watch@.service"
done
check "the sysusers entry makes the user and puts it in video" \
  bash -c "grep -q '^u tarvolen ' '$root/usr/lib/sysusers.d/tarvolen.conf' && grep -q '^m tarvolen video$' '$root/usr/lib/sysusers.d/tarvolen.conf'"

# The examples are configurations the programs accept.
if [ -x "$build/app/tarvolen" ]; then
  check "the watcher example has the hooks, snapshot and retention keys" \
    bash -c "grep -q '\"max_folder_mb\"' '$root/usr/share/doc/tarvolen/examples/camera.json' && grep -q '\"snapshot\": true' '$root/usr/share/doc/tarvolen/examples/camera.json'"
fi
check "every example is one JSON document" \
  bash -c "for f in '$root'/usr/share/doc/tarvolen/examples/*.json; do python3 -m json.tool \"\$f\" >/dev/null || exit 1; done"

if [ "${TARVOLEN_PACKAGE_INSTALL:-}" = "1" ]; then
  [ "$(id -u)" -eq 0 ] || missing_prerequisite "TARVOLEN_PACKAGE_INSTALL=1 needs root"
  check "dpkg -i installs it" dpkg -i "$deb"
  check "the user exists" id tarvolen
  check "the installed unit verifies" bash -c "[ -z \"\$(systemd-analyze verify --man=no tarvolen-watch@test.service 2>&1 | grep -v 'is not executable')\" ]"
  check "dpkg -r removes it" dpkg -r tarvolen
fi

echo "package: $failures failure(s)"
[ "$failures" -eq 0 ]
