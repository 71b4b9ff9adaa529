#!/usr/bin/env bash
# Configures (once) and builds the Windows programs and the test programs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [ ! -f "$PELORIN_BUILD/CMakeCache.txt" ]; then
    note "configuring $PELORIN_BUILD"
    cmake -S "$PELORIN_ROOT" -B "$PELORIN_BUILD" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$PELORIN_ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DPELORIN_MINIZ_DIR="$PELORIN_CACHE/miniz" >/dev/null
fi
note "building"
cmake --build "$PELORIN_BUILD" -j "$(nproc)"
