#!/usr/bin/env bash
# The agent's main job, on a fresh machine: installs the packages, builds, starts
# the reference server zpserver on loopback and the agent against it
# (regression-test mode until the host's own scanners are in place), and shows
# the results as the server receives them. DEMO_SECONDS (default 60) bounds
# the run; Ctrl-C stops it earlier.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec bash scripts/demo.sh "$@"
