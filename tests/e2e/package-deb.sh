#!/usr/bin/env bash
# The Debian package on this machine: built by scripts/package.sh, checked
# with lintian and dpkg-deb, installed with dpkg -i, the packaged server
# started from /opt/vardex by hand (systemd may not run here) and serving a
# download to the packaged client, upgraded over itself (the edited INI
# stays), removed (configuration and log stay) and purged (nothing stays).
# Needs root. The package is purged again however the test ends.
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

# dpkg, waiting (a while) for a package manager someone else runs on this
# machine. Its output is in $dir/dpkg.out and $dir/dpkg.err.
run_dpkg() {
  local i
  for ((i = 0; i < 60; i++)); do
    dpkg "$@" >"$dir/dpkg.out" 2>"$dir/dpkg.err" && return 0
    grep -q 'lock' "$dir/dpkg.err" || return 1
    sleep 2
  done
  return 1
}
# Nothing on dpkg's standard error but the enablement's links, which
# Debian's helper always reports, and the /opt that other software keeps.
dpkg_quiet() {
  ! grep -v -e '^Created symlink ' -e "directory '/opt' not empty so not removed" "$dir/dpkg.err" ||
    fail "dpkg $1 wrote errors or warnings"
}
status_of() {
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null
}

"$repo/scripts/package.sh" deb >"$dir/package.out" 2>&1 || fail "scripts/package.sh deb: $(tail -20 "$dir/package.out")"
version=$(sed -n 's/^project(VardexServer VERSION \([^ )]*\).*/\1/p' "$repo/CMakeLists.txt")
deb=$repo/build/packages/${package}_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb"

# Metadata and contents.
lintian --allow-root --fail-on error "$deb" >"$dir/lintian.out" 2>&1 || fail "lintian: $(cat "$dir/lintian.out")"
[ "$(dpkg-deb -f "$deb" Package Version)" = $'Package: vardex-server\nVersion: '"$version" ] ||
  fail "control: $(dpkg-deb -f "$deb" Package Version)"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libcurl4 libsystemd0 libstdc++6; do
  [[ "$depends" == *"$library"* ]] || fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb -I "$deb" conffiles)" = /opt/vardex/VardexServer.ini ] || fail "conffiles: $(dpkg-deb -I "$deb" conffiles)"
dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' >"$dir/contents"
for entry in "-rwxr-xr-x root/root ./opt/vardex/VardexServer" "-rw-r--r-- root/root ./opt/vardex/VardexServer.ini" \
  "-rwxr-xr-x root/root ./usr/bin/vardex" "-rw-r--r-- root/root ./lib/systemd/system/$unit" \
  "-rw-r--r-- root/root ./usr/share/doc/vardex-server/copyright"; do
  grep -qxF -- "$entry" "$dir/contents" || fail "not in the package: $entry"
done

# Install: enabled for the next boot, not started without systemd, quietly.
ours=1
run_dpkg -i "$deb" || fail "dpkg -i: $(cat "$dir/dpkg.err")"
dpkg_quiet -i
[ "$(status_of)" = "install ok installed" ] || fail "status after install: $(status_of)"
[ "$(/usr/bin/vardex --version)" = "vardex $version" ] || fail "vardex --version: $(/usr/bin/vardex --version)"
[ -L "/etc/systemd/system/multi-user.target.wants/$unit" ] || fail "the unit is not enabled"
grep -qx 'ExecStart=/opt/vardex/VardexServer' "/lib/systemd/system/$unit" || fail "unit: $(cat "/lib/systemd/system/$unit")"
# Until the operator says otherwise, the service serves this machine and one
# directory only.
grep -qx 'Root=/opt/vardex/files' /opt/vardex/VardexServer.ini && [ -d /opt/vardex/files ] &&
  grep -qx 'BindAddress=127.0.0.1' /opt/vardex/VardexServer.ini || fail "packaged INI: $(grep '^[^;]' /opt/vardex/VardexServer.ini)"

# The packaged server as its unit runs it, confined to a directory of ours.
port=$(free_port)
mkdir -p "$dir/files"
head -c 300000 /dev/urandom >"$dir/files/small.bin"
sed -i -e "s/^Port=.*/Port=$port/" -e "s|^Root=.*|Root=$dir/files|" -e 's/^BindAddress=.*/BindAddress=127.0.0.1/' \
  /opt/vardex/VardexServer.ini
/opt/vardex/VardexServer >"$dir/server.out" 2>&1 &
server_pid=$!
wait_for_log /opt/vardex "Service Start Success" 10 || fail "no start: $(log_of /opt/vardex) $(cat "$dir/server.out")"
/usr/bin/vardex get --quiet --port "$port" 127.0.0.1 "$dir/files/small.bin" "$dir/fetched.bin" || fail "download"
cmp -s "$dir/files/small.bin" "$dir/fetched.bin" || fail "downloaded bytes differ"
/usr/bin/vardex get --quiet --port "$port" 127.0.0.1 /opt/vardex/VardexServer.ini "$dir/ini" 2>/dev/null
status=$?
[ "$status" -eq 4 ] || fail "a name outside Root: exit status $status"
kill -TERM "$server_pid"
wait "$server_pid"
status=$?
server_pid=
[ "$status" -eq 0 ] || fail "server exit status $status: $(cat "$dir/server.out")"
cp /opt/vardex/VardexServer.ini "$dir/edited.ini"

# Upgrade over itself: the edited configuration and the log stay.
run_dpkg -i "$deb" || fail "upgrade: $(cat "$dir/dpkg.err")"
dpkg_quiet upgrade
cmp -s "$dir/edited.ini" /opt/vardex/VardexServer.ini || fail "the INI changed on upgrade"
ls /opt/vardex/VardexServer.ini.* >/dev/null 2>&1 && fail "upgrade left $(ls /opt/vardex/VardexServer.ini.*)"
log_of /opt/vardex | grep -q "Service Start Success" || fail "the log is gone after the upgrade"

# Remove: program, client and unit go; configuration and log stay.
run_dpkg --remove "$package" || fail "remove: $(cat "$dir/dpkg.err")"
dpkg_quiet remove
[ "$(status_of)" = "deinstall ok config-files" ] || fail "status after remove: $(status_of)"
for gone in /opt/vardex/VardexServer /usr/bin/vardex "/lib/systemd/system/$unit"; do
  [ -e "$gone" ] && fail "$gone is left after remove"
done
cmp -s "$dir/edited.ini" /opt/vardex/VardexServer.ini || fail "the INI is not kept on remove"
log_of /opt/vardex | grep -q "Service Start Success" || fail "the log is not kept on remove"

# Purge: nothing of the package stays.
run_dpkg --purge "$package" || fail "purge: $(cat "$dir/dpkg.err")"
dpkg_quiet purge
dpkg-query -W "$package" >/dev/null 2>&1 && fail "status after purge: $(status_of)"
for gone in /opt/vardex "/etc/systemd/system/$unit" "/etc/systemd/system/multi-user.target.wants/$unit" \
  "/var/lib/systemd/deb-systemd-helper-enabled/$unit.dsh-also" \
  "/var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/$unit"; do
  [ -e "$gone" ] || [ -L "$gone" ] && fail "$gone is left after purge"
done
ours=0
echo "PASS: package-deb"
