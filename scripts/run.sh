#!/usr/bin/env bash
# The agent's main job, on a fresh machine: installs the packages, builds, starts
# the reference server zpserver on loopback and the agent against it in its
# normal mode, and shows this host's values as the server receives them.
# DEMO_SECONDS (default 60) bounds the run; Ctrl-C stops it earlier.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec bash scripts/demo.sh "$@"
