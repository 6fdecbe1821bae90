#!/usr/bin/env bash
# The main job: builds everything, installs the stand-in service into a
# private wine prefix, and runs the demo client against it end to end (the
# interface tables, Initialize, a connection, one web request authenticated:
# request context, Prepare with a status change delivered on the SDK's
# callback thread, GetHeaders, ReportHttpResponse; a trampoline URL, the server
# type, the version, CancelAllCalls, the destroys, Uninitialize, the trace
# file).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZV_BUILD_DIR:-$root/build}
"$root/tools/install-deps.sh"
ZV_BUILD_DIR=$build "$root/tools/build.sh" >/dev/null

export WINEPREFIX=$build/demo-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
wineserver -k 2>/dev/null || true
wineserver -p
# The loopback HTTP/HTTPS test server (tools/testserver) on ephemeral ports;
# it prints its URLs as one JSON line and ends with SIGTERM.
server_out=$(mktemp)
python3 "$root/tools/testserver/testserver.py" >"$server_out" </dev/null &
server_pid=$!
trap 'kill $server_pid 2>/dev/null || true; rm -f "$server_out"; wineserver -k 2>/dev/null || true' EXIT
wine cmd.exe /c exit >/dev/null 2>&1 </dev/null
for _ in $(seq 300); do
  [ -s "$server_out" ] && break
  kill -0 $server_pid 2>/dev/null || break
  sleep 0.1
done
https_url=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["https"])' "$server_out")
export ZELVAR_DEMO_HTTPS_URL="$https_url/fixed"
echo "loopback test server: $https_url (pid $server_pid)"

# Install the stand-in service as an installer would (local server, type
# library, event proxy/stub). Its scenario has it report a status change
# while it prepares the request, and a gateway server type.
wine "$build/bin/ZelvarSvr.exe" /RegServer </dev/null
export ZELVAR_STANDIN_SCENARIO
ZELVAR_STANDIN_SCENARIO=$(winepath -w "$root/tools/demo/scenario.json")
out=$(mktemp)
set +e
wine "$build/bin/ZelvarDemo.exe" "$@" >"$out" 2>&1 </dev/null
rc=$?
set -e
tr -d '\r' <"$out"
rm -f "$out"
echo "demo exit code: $rc"
exit $rc
