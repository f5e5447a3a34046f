#!/usr/bin/env bash
# The Debian package on this machine: built by scripts/package.sh, its
# metadata and contents, dpkg -i, the packaged server started from
# /opt/vardex by hand (systemd may not run here) serving a download to the
# packaged client, an upgrade over itself (the edited INI stays), remove
# (configuration and log stay) and purge (nothing stays). Needs root; the
# package is purged again however the test ends.
set -uo pipefail
source "$(dirname "$0")/common.bash"

package=vardex-server
unit=VardexServerService.service
[ "$(id -u)" -eq 0 ] || fail "needs root for dpkg -i"
dpkg-query -W "$package" >/dev/null 2>&1 && fail "$package is installed on this machine already; purge it first"
[ -e /opt/vardex ] && fail "/opt/vardex exists already"

dir=$(mktemp -d /tmp/vardex-e2e-deb.XXXXXX)
server_pid=
ours=0
cleanup() {
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null
  [ "$ours" = 1 ] && dpkg-query -W "$package" >/dev/null 2>&1 && run_dpkg --purge "$package"
  rm -rf "$dir"
}
trap cleanup EXIT

# dpkg, waiting a while for a package manager someone else runs here. Its
# standard error may hold only the enablement's links, which Debian's helper
# always reports, and the /opt that other software keeps.
run_dpkg() {
  local i
  for ((i = 0; i < 60; i++)); do
    if dpkg "$@" >"$dir/dpkg.out" 2>"$dir/dpkg.err"; then
      ! grep -v -e '^Created symlink ' -e "directory '/opt' not empty so not removed" "$dir/dpkg.err"
      return
    fi
    grep -q 'lock' "$dir/dpkg.err" || { cat "$dir/dpkg.err"; return 1; }
    sleep 2
  done
  return 1
}
status_of() { dpkg-query -W -f='${Status}' "$package" 2>/dev/null; }

"$repo/scripts/package.sh" deb >"$dir/package.out" 2>&1 || fail "scripts/package.sh deb: $(tail -20 "$dir/package.out")"
version=$(sed -n 's/^project(VardexServer VERSION \([^ )]*\).*/\1/p' "$repo/CMakeLists.txt")
deb=$repo/build/packages/${package}_${version}_$(dpkg --print-architecture).deb
[ "$(dpkg-deb -f "$deb" Package Version)" = $'Package: vardex-server\nVersion: '"$version" ] || fail "control of $deb"
[[ "$(dpkg-deb -f "$deb" Depends)" =~ libc6.*libcurl4.*libstdc\+\+6.*libsystemd0 ]] || fail "Depends: $(dpkg-deb -f "$deb" Depends)"
[ "$(dpkg-deb -I "$deb" conffiles)" = /opt/vardex/VardexServer.ini ] || fail "conffiles: $(dpkg-deb -I "$deb" conffiles)"
dpkg-deb -c "$deb" | awk '{print $1, $6}' >"$dir/contents"
for entry in "-rwxr-xr-x ./opt/vardex/VardexServer" "-rw-r--r-- ./opt/vardex/VardexServer.ini" \
  "-rwxr-xr-x ./usr/bin/vardex" "-rw-r--r-- ./lib/systemd/system/$unit"; do
  grep -qxF -- "$entry" "$dir/contents" || fail "not in the package: $entry"
done

# Install: enabled for the next boot, not started without systemd; until the
# operator says otherwise the service serves this machine and one directory.
ours=1
run_dpkg -i "$deb" || fail "dpkg -i"
[ "$(status_of)" = "install ok installed" ] || fail "status after install: $(status_of)"
[ "$(/usr/bin/vardex --version)" = "vardex $version" ] || fail "vardex --version: $(/usr/bin/vardex --version)"
[ -L "/etc/systemd/system/multi-user.target.wants/$unit" ] || fail "the unit is not enabled"
[ -d /opt/vardex/files ] && grep -qx 'Root=/opt/vardex/files' /opt/vardex/VardexServer.ini &&
  grep -qx 'BindAddress=127.0.0.1' /opt/vardex/VardexServer.ini || fail "packaged INI: $(grep '^[^;]' /opt/vardex/VardexServer.ini)"

# The packaged server as its unit runs it, on a port and root of ours.
port=$(free_port)
mkdir -p "$dir/files"
head -c 300000 /dev/urandom >"$dir/files/small.bin"
sed -i -e "0,/^Port=/s/^Port=.*/Port=$port/" -e "s|^Root=.*|Root=$dir/files|" /opt/vardex/VardexServer.ini
cp /opt/vardex/VardexServer.ini "$dir/edited.ini"
/opt/vardex/VardexServer >"$dir/server.out" 2>&1 &
server_pid=$!
wait_for_log /opt/vardex "Service Start Success" 10 || fail "no start: $(log_of /opt/vardex) $(cat "$dir/server.out")"
/usr/bin/vardex get --quiet --port "$port" 127.0.0.1 "$dir/files/small.bin" "$dir/fetched.bin" || fail "download"
cmp -s "$dir/files/small.bin" "$dir/fetched.bin" || fail "downloaded bytes differ"
kill -TERM "$server_pid"
for ((i = 0; i < 100; i++)); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$server_pid" 2>/dev/null && fail "the server still runs 10 s after SIGTERM"
server_pid=

run_dpkg -i "$deb" || fail "upgrade"
cmp -s "$dir/edited.ini" /opt/vardex/VardexServer.ini || fail "the INI changed on upgrade"

run_dpkg --remove "$package" || fail "remove"
[ "$(status_of)" = "deinstall ok config-files" ] || fail "status after remove: $(status_of)"
for gone in /opt/vardex/VardexServer /usr/bin/vardex "/lib/systemd/system/$unit"; do
  [ -e "$gone" ] && fail "$gone is left after remove"
done
cmp -s "$dir/edited.ini" /opt/vardex/VardexServer.ini || fail "the INI is not kept on remove"
log_of /opt/vardex | grep -q "Service Start Success" || fail "the log is not kept on remove"

run_dpkg --purge "$package" || fail "purge"
dpkg-query -W "$package" >/dev/null 2>&1 && fail "status after purge: $(status_of)"
for gone in /opt/vardex "/etc/systemd/system/$unit" "/etc/systemd/system/multi-user.target.wants/$unit" \
  "/var/lib/systemd/deb-systemd-helper-enabled/$unit.dsh-also"; do
  [ -e "$gone" ] || [ -L "$gone" ] && fail "$gone is left after purge"
done
ours=0
echo "PASS: package-deb"
