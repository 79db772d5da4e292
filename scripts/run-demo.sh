#!/usr/bin/env bash
# Installs what is missing, builds the release preset and runs the service in
# this console on the ports of deploy/registry.sample.reg (20400, 20410,
# 20420 and 20430). Ctrl-C stops it.
# Environment: ZUV_HOME (default build/demo-home) holds logs/, ZUVFiles/ and
# the logging configuration; TOVANIX_REGISTRY (default the sample file).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh

cmake --preset release
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)"

export ZUV_HOME="${ZUV_HOME:-$root/build/demo-home}"
export TOVANIX_REGISTRY="${TOVANIX_REGISTRY:-$root/deploy/registry.sample.reg}"
mkdir -p "$ZUV_HOME"
echo "run-demo: ZUV_HOME=$ZUV_HOME TOVANIX_REGISTRY=$TOVANIX_REGISTRY"
echo "run-demo: logs in $ZUV_HOME/logs; stop with Ctrl-C"
exec "$root/build/release/bin/zuv_service" run
