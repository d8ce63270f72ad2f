#!/usr/bin/env bash
# Installs every dependency, builds, and starts the program. Without a display
# the program says so and prints the disk list.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
exec build/VLM-Performance.app/Contents/MacOS/VLM-Performance "$@"
