#!/usr/bin/env bash
# The Windows build: cross-compiles every module and test with mingw-w64
# (warnings are errors), runs each test executable under Wine, then runs
# quillmar.exe under Wine against the Linux reference server on loopback:
# registration and check-ins with results, a log file check on a Windows path,
# a custom check run through cmd.exe and a downtime asked through the named
# pipe by a second quillmar.exe. BUILD_DIR names the Linux build that holds
# zpserver (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${BUILD_DIR:-build}
jobs=$(nproc)

cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZP_BUILD_BENCH=OFF -DZP_WERROR=ON
cmake --build build-win -j "$jobs"

# A throwaway Wine prefix, with one wine server kept for the whole stage.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/zp-wine-XXXXXX)
export WINEDEBUG=-all
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  /usr/lib/wine/wineserver -k 2>/dev/null || wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "${tmp:-}"
}
trap cleanup EXIT
"$wine" cmd /c exit >/dev/null 2>&1 || true   # creates the prefix once
(/usr/lib/wine/wineserver -p 2>/dev/null || wineserver -p 2>/dev/null || true)

ctest --test-dir build-win --output-on-failure -j "$jobs"

# End to end: the Windows agent against the Linux reference server.
cmake --build "$linux_build" --target zpserver -j "$jobs" >/dev/null
e2e_start=$SECONDS
tmp=$(mktemp -d /tmp/zp-wine-e2e-XXXXXX)
# Log checks are split at line feeds and record the lines with "wine line".
"$linux_build"/tools/zpserver/zpserver -p 0 --state-dir "$tmp/server-state" --results "$tmp/results.jsonl" \
  --frequency 2 --checkin-frequency 10 --no-summary --log-rule "'wine line'" \
  >"$tmp/server.out" 2>"$tmp/server.log" &
server_pid=$!
port=""
for _ in $(seq 50); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/server.out" | head -1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "zpserver did not start" >&2; cat "$tmp/server.log" >&2; exit 1; }
mkdir -p "$tmp/state" "$tmp/run" "$tmp/logs"
# A definition file is read only where nobody else may change it: on the
# prefix's own drive C:, not on Z: (/tmp is everybody's).
defs="$WINEPREFIX/drive_c/zp-e2e"
mkdir -p "$defs"
# Wine shows the Linux root as drive Z:.
winpath() { echo "Z:${1//\//\\}"; }

# The configuration is the registry key of the throwaway prefix.
set_conf() {
  "$wine" reg add 'HKLM\Software\Zerpal\ZPAgent' /v "$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1 ||
    { echo "could not write $1 to the registry" >&2; exit 1; }
}
set_conf name wine-agent
set_conf domain e2e
set_conf server_list "127.0.0.1:$port"
set_conf logfile "$(winpath "$tmp/agent.log")"
set_conf variable_file "$(winpath "$tmp/state/ZPAgent.variables")"
set_conf loglevel 0
set_conf log_chk_conf "$(winpath "$tmp/logs.conf")"
set_conf custom_chk_conf 'C:\zp-e2e\custom.conf'
# Only the log and custom checks, so that they run every two seconds.
set_conf disable_checks "fs mem system proc smart ifthrough ifevents scm perf action safte ipmisens csmiplus block"

# A wildcard line in Windows form: the file is found by listing its directory.
echo "before the agent looked" >"$tmp/logs/app.log"
printf '%s\r\n' "# the Windows agent's log files" "$(winpath "$tmp/logs")\\*.log" >"$tmp/logs.conf"
printf '%s\r\n' "[answer]" "command=cmd /c echo Result: 41" "type=integer" >"$defs/custom.conf"

agent_env=(ZERPAL_STATE_DIR="$(winpath "$tmp/state")" ZERPAL_RUN_DIR="$(winpath "$tmp/run")")
env "${agent_env[@]}" "$wine" build-win/agent/quillmar.exe >"$tmp/agent.out" 2>&1 &
agent_pid=$!

failed=""
fail() { failed="$failed$1; "; }
# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
  local n=$1
  shift
  for _ in $(seq "$n"); do
    "$@" && return 0
    sleep 1
  done
  return 1
}
logged() { grep -qF -- "$1" "$tmp/agent.log" 2>/dev/null; }
# Result lines of the device $1 (the last element of the path) with $2 in them.
result() { grep -F "\"$1\"]" "$tmp/results.jsonl" 2>/dev/null | grep -qF -- "$2"; }
acks() { grep -c '"ack":true' "$tmp/results.jsonl" 2>/dev/null || true; }
acked() { [ "$(acks)" -ge 3 ] 2>/dev/null; }

# The log check starts at the end of the file when it first reads it: the
# lines go in once its second run has begun, so after the first one ended.
second_run() { [ "$(grep -c "Agent will check device app.log" "$tmp/agent.log" 2>/dev/null)" -ge 2 ] 2>/dev/null; }
if wait_for 90 second_run; then
  printf 'noise\nfirst wine line\n' >>"$tmp/logs/app.log"
else
  fail "the log file check never ran"
fi

# A downtime through the running agent's named pipe.
if wait_for 30 logged "Successfully registered with server."; then
  code=0
  env "${agent_env[@]}" timeout 60 "$wine" build-win/agent/quillmar.exe --down=5 --quiet --comment wine \
    >"$tmp/client.out" 2>"$tmp/client.err" || code=$?
  grep -qF "OK downtime of 5 minutes for wine-agent" "$tmp/client.err" && [ "$code" = 0 ] ||
    fail "the downtime client exited with $code: $(tail -1 "$tmp/client.err")"
  logged 'handle_named_pipe Got "DOWN 5 wine"' || fail "the downtime did not go through the agent's pipe"
  grep -qF "5 minutes (wine): granted" "$tmp/server.log" || fail "the server did not grant the downtime"
else
  fail "the agent did not register"
fi

wait_for 60 result app.log '"status":1' || fail "no log file result"
result app.log "first wine line" || fail "the log file result lacks the appended line"
result app.log "noise" && fail "a line the rule does not match was recorded"
wait_for 30 result answer '"value":41' || fail "no custom check result"
wait_for 30 acked || fail "fewer than 3 results acknowledged"
kill "$agent_pid" 2>/dev/null || true
# The host id the server gave is kept in the registry's Variables subkey.
"$wine" reg query 'HKLM\Software\Zerpal\ZPAgent\Variables' /v host_id 2>/dev/null | grep -q REG_SZ ||
  fail "the host id is not in the Variables registry key"
echo "windows e2e: $(acks) results acknowledged in $((SECONDS - e2e_start)) s"
if [ -n "$failed" ]; then
  echo "windows e2e failed: $failed" >&2
  echo "-- agent log:" >&2
  tail -40 "$tmp/agent.log" >&2 2>/dev/null || cat "$tmp/agent.out" >&2
  echo "-- server log:" >&2
  tail -20 "$tmp/server.log" >&2
  exit 1
fi
