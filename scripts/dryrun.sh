#!/usr/bin/env bash
# The uninstall run against examples/win98-package, every change reported.
# Installs what is missing, builds the dry-run tool of the host preset and
# runs it. Other images and options: scripts/dryrun.sh IMAGE [--json]
# [--write OUT] [--undo DIR].
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh dryrun
cmake --preset host >/dev/null
cmake --build --preset host --target zavuninst-sim
if [ $# -eq 0 ]; then
  set -- examples/win98-package
fi
exec build/host/tools/zavuninst-sim/zavuninst-sim "$@"
