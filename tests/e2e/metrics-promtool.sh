#!/usr/bin/env bash
# The alerting rules and the dashboard against a running server: promtool
# accepts the rules and fires them on the series they are meant for
# (alerts-test.yml), accepts the exposition of /metrics, and every metric the
# server exposes is on the dashboard, while the rules and the dashboard name
# no metric that neither the server nor the access control exposes.
set -uo pipefail
source "$(dirname "$0")/common.bash"

command -v promtool >/dev/null || fail "no promtool (scripts/packages: prometheus)"
require_posix_build

dir=$(mktemp -d /tmp/vardex-e2e-metrics.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

promtool check rules "$repo/deploy/prometheus/alerts.yml" || fail "promtool check rules"
(cd "$repo/tests/e2e" && promtool test rules alerts-test.yml) || fail "promtool test rules"

port=$(free_port)
status_port=$(free_port)
mkdir -p "$dir/files"
cp "$server" "$dir/"
printf '[Server]\nPort=%d\nMaxConnections=7\n[Status]\nPort=%d\n[Report]\nHost=127.0.0.1:1\n' \
  "$port" "$status_port" >"$dir/VardexServer.ini"
head -c 10000 /dev/urandom >"$dir/files/small.bin"
"$dir/VardexServer" >"$dir/stdout" 2>"$dir/stderr" &
server_pid=$!
wait_for_log "$dir" "Service Start Success" 10 || fail "no start: $(log_of "$dir")"

# A download and a failed one (reported to a port where nothing listens), so
# that the counters by result have more than their zero rows.
download_file "$port" "$dir/files/small.bin" "$dir/fetched.bin" || fail "download"
download_file "$port" "$dir/files/missing.bin" "$dir/missing.bin" 2>/dev/null && fail "a missing file was downloaded"
sleep 1
curl -sf "http://127.0.0.1:$status_port/metrics" >"$dir/metrics" || fail "no /metrics"
promtool check metrics <"$dir/metrics" || fail "promtool check metrics: $(cat "$dir/metrics")"
grep -qx 'vardex_max_connections 7' "$dir/metrics" || fail "MaxConnections not exposed: $(cat "$dir/metrics")"

python3 - "$dir/metrics" "$repo/deploy/grafana/vardex.json" "$repo/deploy/prometheus/alerts.yml" <<'PY' || fail "dashboard or rules out of step with /metrics"
import json, re, sys
exposed = set(re.findall(r"^# TYPE (\S+) ", open(sys.argv[1]).read(), re.M))
dashboard = open(sys.argv[2]).read()
json.loads(dashboard)
rules = open(sys.argv[3]).read()
# The access control's metrics, named before it lands.
pending = {"vardex_banned_addresses"}
ok = True
for name in sorted(exposed - set(re.findall(r"vardex_[a-z_]+", dashboard))):
    print("not on the dashboard:", name); ok = False
for source, text in (("dashboard", dashboard), ("rules", rules)):
    for name in sorted(set(re.findall(r"vardex_[a-z_]+", text)) - exposed - pending):
        print("unknown metric in the %s: %s" % (source, name)); ok = False
sys.exit(0 if ok else 1)
PY
echo "metrics-promtool: rules, rule tests, exposition and dashboard pass"
