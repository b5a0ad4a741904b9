#!/usr/bin/env bash
# Sets up, builds and starts the agent in the foreground with its log on
# standard error (-v), against a throw-away configuration in a temporary
# directory. Extra arguments go to the agent (for example -l -1 for trace).
# Until the main loop is in place the agent stops where start-up ends.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target quillmar -j "$(nproc)"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export ZERPAL_CONF_DIR="$tmp/etc"
export ZERPAL_USER_CONF_DIR="$tmp/user"
export ZERPAL_STATE_DIR="$tmp/state"
export ZERPAL_USER_STATE_DIR="$tmp/user-state"
export ZERPAL_RUN_DIR="$tmp/run"
mkdir -p "$ZERPAL_CONF_DIR"
cat >"$ZERPAL_CONF_DIR/ZPAgent.conf" <<CONF
# A demonstration configuration: a server on this host, debug logging.
name = $(uname -n)
server_list = 127.0.0.1:3241
domain = demo
loglevel = 0
logfile = $tmp/agent.log
CONF

set +e
build/core/quillmar -v "$@"
rc=$?
set -e
echo "quillmar exited with $rc" >&2
if [ -f "$ZERPAL_STATE_DIR/ZPAgent.variables" ]; then
  echo "variables file:" >&2
  cat "$ZERPAL_STATE_DIR/ZPAgent.variables" >&2
fi
exit $rc
