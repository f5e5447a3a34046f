#!/usr/bin/env bash
# The Windows build under Wine's Service Control Manager: install, start,
# transfers over loopback from the POSIX side, the access rules read again
# by the parameter-change control (a malformed section keeps them), stop,
# a refused second
# install, uninstall; a start on a taken port that logs its failure and
# stops; and the /console run stopped by Ctrl+C.
set -uo pipefail
source "$(dirname "$0")/common.bash"
export WINEDEBUG=-all

exe=$windows_build/VardexServer.exe
[ -f "$exe" ] || fail "no $exe (build it first)"
control=$windows_build/tests/service-control.exe
[ -f "$control" ] || fail "no $control (build it first)"
[ -x "$client" ] || fail "no $client (build it first)"
command -v wine >/dev/null || fail "no wine"

dir=$(mktemp -d /tmp/vardex-e2e-windows.XXXXXX)
started_server=0
installed=0
holder_pid=
console_pid=
stalled_pid=

# Wine's output goes to files: a pipe inherited by the Wine processes that
# outlive a command would keep our caller waiting.
w() {
  timeout 120 wine "$@" </dev/null >>"$dir/wine.out" 2>&1
}

cleanup() {
  [ -n "$stalled_pid" ] && kill "$stalled_pid" 2>/dev/null
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
  [ -n "$console_pid" ] && kill -KILL "$console_pid" 2>/dev/null
  if [ "$installed" = 1 ]; then
    w net stop VardexServerService
    wait_for_state STOPPED 15
    w "$dir/VardexServer.exe" /uninstall /silent
  fi
  [ "$started_server" = 1 ] && wineserver -k </dev/null >/dev/null 2>&1
  rm -rf "$dir"
}
trap cleanup EXIT

# wait_for_state STATE SECONDS: polls "sc query" for the service's state.
wait_for_state() {
  local i
  for ((i = 0; i < $2; i++)); do
    timeout 60 wine sc query VardexServerService </dev/null 2>/dev/null | grep -q "STATE.*$1" && return 0
    sleep 1
  done
  return 1
}

# One Wine server for the whole script, unless the caller keeps one.
if wineserver -p </dev/null >/dev/null 2>&1; then started_server=1; fi

port=$(free_port)
cp "$exe" "$dir/"
printf '[Server]\r\nPort=%d\r\n' "$port" >"$dir/VardexServer.ini"
mkdir -p "$dir/files"
head -c 300000 /dev/urandom >"$dir/files/small.bin"
# Wine maps the POSIX root to drive Z:.
winpath() { echo "Z:${1//\//\\}"; }

# Install, and a second install that the existing service refuses.
w "$dir/VardexServer.exe" /install /silent || fail "install: $(cat "$dir/wine.out")"
installed=1
# Quoted: a path with spaces is otherwise first tried at each space.
service_key='HKLM\SYSTEM\CurrentControlSet\Services\VardexServerService'
timeout 60 wine reg query "$service_key" /v ImagePath </dev/null 2>/dev/null | grep -qF "\"$(winpath "$dir")\\VardexServer.exe\"" ||
  fail "image path not quoted: $(timeout 60 wine reg query "$service_key" /v ImagePath </dev/null 2>&1)"
# The event sources name the program's message table.
sources='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
for source in VardexServerService VardexServer.exe; do
  timeout 60 wine reg query "$sources\\$source" /v EventMessageFile </dev/null 2>/dev/null |
    grep -qF "$(winpath "$dir")\\VardexServer.exe" || fail "event source $source not registered"
done
w "$dir/VardexServer.exe" /install /silent
status=$?
[ "$status" -eq 1 ] || fail "second install: exit code $status"
grep -q 'failed to install with error: "System Error.  Code: 1073' "$dir/wine.out" ||
  fail "second install: $(cat "$dir/wine.out")"

# Start, handshake and transfers.
w net start VardexServerService || fail "net start: $(cat "$dir/wine.out")"
wait_for_log "$dir" "Service Start Success" 20 || fail "no start: $(log_of "$dir")"
handshake "$port" || fail "handshake"
download_file "$port" "$(winpath "$dir/files/small.bin")" "$dir/fetched.bin" || fail "download"
cmp -s "$dir/files/small.bin" "$dir/fetched.bin" || fail "downloaded bytes differ"
upload_file "$port" "$dir/fetched.bin" "$(winpath "$dir/files/uploaded.bin")" || fail "upload"
cmp -s "$dir/files/small.bin" "$dir/files/uploaded.bin" || fail "uploaded bytes differ"

# The parameter-change control ("sc control VardexServerService
# paramchange"; Wine's sc has no "control", so a small program of the test
# build sends it) reads [Access] again: downloads are refused from then on;
# a malformed section keeps those rules.
printf '[Server]\r\nPort=%d\r\n[Access]\r\nDownloadFrom=192.0.2.1\r\n' "$port" >"$dir/VardexServer.ini"
w "$control" VardexServerService 6 || fail "paramchange: $(cat "$dir/wine.out")"
wait_for_log "$dir" "Reload: the access rules were reloaded" 15 || fail "no reload: $(log_of "$dir")"
download_file "$port" "$(winpath "$dir/files/small.bin")" "$dir/refused.bin" 2>/dev/null &&
  fail "download allowed after the reload"
wait_for_log "$dir" "refused by [Access] DownloadFrom" 10 || fail "no refusal: $(log_of "$dir")"
printf '[Server]\r\nPort=%d\r\n[Access]\r\nDownloadFrom=192.0.2.1;\r\n' "$port" >"$dir/VardexServer.ini"
w "$control" VardexServerService 6 || fail "second paramchange: $(cat "$dir/wine.out")"
wait_for_log "$dir" "Reload: [Access] DownloadFrom=192.0.2.1; is malformed, the access rules stay as they were" 15 ||
  fail "malformed reload: $(log_of "$dir")"
download_file "$port" "$(winpath "$dir/files/small.bin")" "$dir/refused.bin" 2>/dev/null &&
  fail "download allowed after a malformed reload"

# Stop while a download is still sending.
truncate -s 200M "$dir/files/big.bin"
start_stalled_download "$port" "$(winpath "$dir/files/big.bin")" $((200 * 1024 * 1024))
sleep 1
w net stop VardexServerService
wait_for_log "$dir" "Service Stoped" 15 || fail "no 'Service Stoped': $(log_of "$dir")"
wait_for_state STOPPED 15 || fail "not stopped"
kill "$stalled_pid" 2>/dev/null
stalled_pid=

# A start on a taken port logs the bind failure and stops again. (A fresh
# port: the old one may still have connections in TIME_WAIT.)
taken=$(free_port)
printf '[Server]\r\nPort=%d\r\n' "$taken" >"$dir/VardexServer.ini"
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("", int(sys.argv[1]))); s.listen(5); time.sleep(120)' "$taken" &
holder_pid=$!
sleep 0.5
: >"$dir/wine.out"
w net start VardexServerService
wait_for_log "$dir" "Service Start Fail: Listen Thread Initialize Error." 20 ||
  fail "no start failure: $(log_of "$dir")"
log_of "$dir" | grep -q "SocketBind($taken): failed" || fail "no bind failure: $(log_of "$dir")"
wait_for_state STOPPED 15 || fail "not stopped after the failed start"
kill "$holder_pid"
holder_pid=

w "$dir/VardexServer.exe" /uninstall /silent || fail "uninstall: $(cat "$dir/wine.out")"
installed=0
for key in "$service_key" "$sources\\VardexServerService" "$sources\\VardexServer.exe"; do
  timeout 60 wine reg query "$key" </dev/null >/dev/null 2>&1 && fail "left after uninstall: $key"
done

# Its own account: registered with it, and its folders granted to it (Wine
# does not enforce access lists, so the grant calls succeeding is all that
# shows here).
w "$dir/VardexServer.exe" /install /silent /account || fail "install /account: $(cat "$dir/wine.out")"
installed=1
timeout 60 wine reg query "$service_key" /v ObjectName </dev/null 2>/dev/null |
  grep -qF 'NT SERVICE\VardexServerService' || fail "not registered with its virtual account"
w "$dir/VardexServer.exe" /uninstall /silent || fail "uninstall: $(cat "$dir/wine.out")"
installed=0

# The console run: Ctrl+C (SIGINT to the Wine process) is the stop request.
port=$(free_port)
printf '[Server]\r\nPort=%d\r\n' "$port" >"$dir/VardexServer.ini"
rm -rf "$dir/Log"
wine "$dir/VardexServer.exe" /console </dev/null >>"$dir/wine.out" 2>&1 &
console_pid=$!
wait_for_log "$dir" "Service Start Success" 20 || fail "no console start: $(log_of "$dir")"
handshake "$port" || fail "console handshake"
kill -INT "$console_pid"
wait_for_log "$dir" "Service Stoped" 15 || fail "console run not stopped: $(log_of "$dir")"
for ((i = 0; i < 100; i++)); do kill -0 "$console_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$console_pid" 2>/dev/null && fail "console run still running"
console_pid=
echo "PASS: service-windows"
