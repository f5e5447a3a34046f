#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix of its own: built by
# scripts/package.sh with the version in the executables' properties; /S
# registers and starts the service, which serves a download to the installed
# vardex.exe; a second install upgrades in place (the configuration stays);
# one whose service cannot start says so; the uninstaller /S removes the
# service and the program files and keeps Log\ and the configuration.
set -uo pipefail
source "$(dirname "$0")/common.bash"
export WINEDEBUG=-all
command -v wine >/dev/null || fail "no wine"

export WINEPREFIX=$repo/build/wineprefix-installer
dir=$(mktemp -d /tmp/vardex-e2e-setup.XXXXXX)
holder_pid=
cleanup() {
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
  timeout 60 wineserver -k </dev/null >/dev/null 2>&1
  rm -rf "$dir" "$WINEPREFIX"
}
trap cleanup EXIT

# Wine's output goes to a file: a pipe inherited by the Wine processes that
# outlive a command would keep our caller waiting.
w() { timeout 120 wine "$@" </dev/null >>"$dir/wine.out" 2>&1; }
winpath() { echo "Z:${1//\//\\}"; }
wait_for_state() {
  for ((i = 0; i < $2; i++)); do
    timeout 60 wine sc query VardexServerService </dev/null 2>/dev/null | grep -q "STATE.*$1" && return 0
    sleep 1
  done
  return 1
}

"$repo/scripts/package.sh" windows >"$dir/package.out" 2>&1 || fail "scripts/package.sh windows: $(tail -20 "$dir/package.out")"
version=$(sed -n 's/^project(VardexServer VERSION \([^ )]*\).*/\1/p' "$repo/CMakeLists.txt")
setup=$repo/build/packages/VardexServer-$version-setup.exe

# A fresh prefix, set up completely before the installer runs (the Service
# Control Manager of a half-made one refuses its first requests), and one
# Wine server for the whole script.
timeout 60 wineserver -k </dev/null >/dev/null 2>&1
rm -rf "$WINEPREFIX"
timeout 300 wineboot -i </dev/null >/dev/null 2>&1 || fail "wineboot"
timeout 120 wineserver -w </dev/null >/dev/null 2>&1
wineserver -p </dev/null >/dev/null 2>&1

# The operator's configuration is there before the first install.
program=$WINEPREFIX/drive_c/Program\ Files/VardexServer
port=$(free_port)
mkdir -p "$program" "$dir/files"
printf '[Server]\r\nPort=%d\r\nRoot=%s\r\n' "$port" "$(winpath "$dir/files")" >"$program/VardexServer.ini"
cp "$program/VardexServer.ini" "$dir/operator.ini"
head -c 300000 /dev/urandom >"$dir/files/small.bin"

w "$setup" /S || fail "install: exit status $?: $(cat "$dir/wine.out")"
for file in "$setup" "$program/VardexServer.exe" "$program/vardex.exe"; do
  python3 -c 'import sys; sys.exit(("ProductVersion\0%s\0" % sys.argv[2]).encode("utf-16-le") not in open(sys.argv[1], "rb").read())' \
    "$file" "$version" || fail "the properties of $file lack version $version"
done
[ -f "$program/VardexServer.ini.example" ] || fail "no VardexServer.ini.example"
cmp -s "$dir/operator.ini" "$program/VardexServer.ini" || fail "the install replaced the configuration"
wait_for_state RUNNING 20 || fail "the service is not running"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VardexServer'
timeout 60 wine reg query "$uninstall_key" /v DisplayVersion </dev/null 2>/dev/null | grep -q "REG_SZ *$version" ||
  fail "no uninstaller registered for version $version"
w "$program/vardex.exe" get --quiet --port "$port" 127.0.0.1 "$(winpath "$dir/files/small.bin")" \
  "$(winpath "$dir/fetched.bin")" || fail "download: $(cat "$dir/wine.out")"
cmp -s "$dir/files/small.bin" "$dir/fetched.bin" || fail "downloaded bytes differ"

# Upgrade: stop, replace (a damaged client is whole again), start.
echo damaged >"$program/vardex.exe"
w "$setup" /S || fail "upgrade: exit status $?: $(cat "$dir/wine.out")"
cmp -s "$repo/build/windows/src/client/vardex.exe" "$program/vardex.exe" || fail "the upgrade did not replace vardex.exe"
cmp -s "$dir/operator.ini" "$program/VardexServer.ini" || fail "the upgrade replaced the configuration"
wait_for_state RUNNING 20 || fail "the service is not running after the upgrade"
[ "$(log_of "$program" | grep -c 'Service Start Success')" -eq 2 ] || fail "no restart: $(log_of "$program")"

# With its port taken the service cannot start, and the installer says so.
taken=$(free_port)
sed -i "s/^Port=.*/Port=$taken/" "$program/VardexServer.ini"
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(5); time.sleep(60)' "$taken" &
holder_pid=$!
sleep 0.5
w "$setup" /S
status=$?
[ "$status" -eq 2 ] || fail "install with the port taken: exit status $status"

# Uninstall. The uninstaller runs on from a copy of itself in the temporary
# directory, so the files are watched until they are gone.
w "$program/uninstall.exe" /S || fail "uninstall: exit status $?: $(cat "$dir/wine.out")"
for ((i = 0; i < 60; i++)); do
  [ -e "$program/uninstall.exe" ] || [ -e "$program/VardexServer.exe" ] || break
  sleep 1
done
for file in VardexServer.exe vardex.exe VardexServer.ini.example uninstall.exe; do
  [ -e "$program/$file" ] && fail "$file is left after uninstall"
done
timeout 60 wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\VardexServerService' </dev/null >/dev/null 2>&1 &&
  fail "the service is still registered"
timeout 60 wine reg query "$uninstall_key" </dev/null >/dev/null 2>&1 && fail "the uninstaller is still registered"
[ -f "$program/VardexServer.ini" ] || fail "the uninstall removed the configuration"
log_of "$program" | grep -q "SocketBind($taken): failed" || fail "the uninstall removed the log"
echo "PASS: package-windows"
