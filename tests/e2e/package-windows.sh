#!/usr/bin/env bash
# The Windows packages under Wine, in a prefix of their own, built by
# scripts/package.sh with the version in the executables' properties.
# The setup program: /S registers and starts the service, which serves a
# download to the installed vardex.exe; a second install upgrades in place
# (the configuration stays); one whose service cannot start says so; the
# uninstaller /S removes the service and the program files and keeps Log\
# and the configuration.
# The MSI package: msiexec /qn with PORT, ROOT and BINDADDRESS writes a new
# configuration and starts the service as its virtual account, which serves
# a download; a newer package upgrades in place and keeps the edited
# configuration; msiexec /x removes the service, its event sources and the
# program files and keeps the configuration, Log\ and the files.
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
kill "$holder_pid" 2>/dev/null
holder_pid=

# The MSI package, with no configuration there yet.
msi=$repo/build/packages/VardexServer-$version.msi
rm -rf "$program"
port=$(free_port)
w msiexec /i "$(winpath "$msi")" /qn PORT="$port" ROOT="$(winpath "$dir/files")" BINDADDRESS=127.0.0.1 ||
  fail "msiexec /i: exit status $?: $(cat "$dir/wine.out")"
for line in "Port=$port" "Root=$(winpath "$dir/files")" "BindAddress=127.0.0.1"; do
  sed -n '/^\[Server\]/,/^\[/p' "$program/VardexServer.ini" | grep -qxF "$line"$'\r' ||
    fail "no $line in the new configuration: $(cat "$program/VardexServer.ini")"
done
wait_for_state RUNNING 20 || fail "the service is not running after msiexec /i"
service_key='HKLM\SYSTEM\CurrentControlSet\Services\VardexServerService'
timeout 60 wine reg query "$service_key" /v ObjectName </dev/null 2>/dev/null |
  grep -qF 'NT SERVICE\VardexServerService' || fail "the MSI did not register the virtual account"
sources='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
timeout 60 wine reg query "$sources\\VardexServerService" /v EventMessageFile </dev/null 2>/dev/null |
  grep -qF 'VardexServer\VardexServer.exe' || fail "the MSI did not register the event source"
rm -f "$dir/fetched.bin"
w "$program/vardex.exe" get --quiet --port "$port" 127.0.0.1 "$(winpath "$dir/files/small.bin")" \
  "$(winpath "$dir/fetched.bin")" || fail "download after msiexec /i: $(cat "$dir/wine.out")"
cmp -s "$dir/files/small.bin" "$dir/fetched.bin" || fail "downloaded bytes differ after msiexec /i"

# A newer package of the same upgrade code replaces the program and keeps
# the operator's edit.
sed -i 's/^IdleTimeout=.*/IdleTimeout=301\r/' "$program/VardexServer.ini"
cp "$program/VardexServer.ini" "$dir/edited.ini"
newer=${version%.*}.$((${version##*.} + 1))
(cd "$repo" && wixl -a x64 -D Version="$newer" -D BuildDir=build/windows -D ConfigDir=build/package-windows \
  -o "$dir/VardexServer-$newer.msi" packaging/windows/VardexServer.wxs) >>"$dir/wine.out" 2>&1 || fail "wixl $newer"
w msiexec /i "$(winpath "$dir/VardexServer-$newer.msi")" /qn || fail "msiexec upgrade: exit status $?: $(cat "$dir/wine.out")"
cmp -s "$dir/edited.ini" "$program/VardexServer.ini" || fail "the upgrade replaced the configuration"
wait_for_state RUNNING 20 || fail "the service is not running after the upgrade"
[ "$(log_of "$program" | grep -c 'Service Start Success')" -eq 2 ] || fail "no restart by the upgrade: $(log_of "$program")"
versions=$(timeout 60 wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null 2>/dev/null |
  tr -d '\r' | grep DisplayVersion)
grep -q "REG_SZ *$newer\$" <<<"$versions" || fail "version $newer not registered: $versions"
grep -q "REG_SZ *$version\$" <<<"$versions" && fail "version $version still registered after the upgrade"

w msiexec /x "$(winpath "$dir/VardexServer-$newer.msi")" /qn || fail "msiexec /x: exit status $?: $(cat "$dir/wine.out")"
for file in VardexServer.exe vardex.exe VardexServer.ini.example; do
  [ -e "$program/$file" ] && fail "$file is left after msiexec /x"
done
for key in "$service_key" "$sources\\VardexServerService" "$sources\\VardexServer.exe"; do
  timeout 60 wine reg query "$key" </dev/null >/dev/null 2>&1 && fail "left after msiexec /x: $key"
done
cmp -s "$dir/edited.ini" "$program/VardexServer.ini" || fail "msiexec /x removed the configuration"
[ -f "$dir/files/small.bin" ] || fail "msiexec /x removed the files"
log_of "$program" | grep -q "Service Stoped" || fail "msiexec /x removed the log"
echo "PASS: package-windows"
