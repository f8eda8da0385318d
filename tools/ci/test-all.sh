#!/usr/bin/env bash
# Builds and tests Olvetta: the native `dev` preset (ASan + UBSan) and the
# `windows` preset (MinGW-w64, tests under Wine). Installs missing packages.
# Exits non-zero if any configure, build or test step fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/ci/common.sh

JOBS=${OLV_JOBS:-2}
PRESETS=(dev windows)
start=$(date +%s)

olv_ensure_packages "${OLV_PACKAGES[@]}"
# The windows preset's tests use their own prefix, build/windows/wine (see
# cmake/OlvTests.cmake); create it before ctest so no test waits for it.
(olv_prepare_wine "$PWD/build/windows/wine")

mkdir -p build
failed=()
declare -A summary
for preset in "${PRESETS[@]}"; do
    log="build/$preset.log"
    olv_log "[$preset] configure"
    if ! cmake --preset "$preset" </dev/null >"$log" 2>&1; then
        cat "$log"
        failed+=("$preset: configure")
        summary[$preset]="configure failed"
        continue
    fi
    olv_log "[$preset] build"
    if ! cmake --build --preset "$preset" -j"$JOBS" </dev/null >"${log%.log}-build.log" 2>&1; then
        grep -v '^\[[0-9]*/[0-9]*\] ' "${log%.log}-build.log" | tail -n 80
        failed+=("$preset: build")
        summary[$preset]="build failed"
        continue
    fi
    olv_log "[$preset] test"
    ctest_log="build/$preset-ctest.log"
    if ctest --preset "$preset" -j"$JOBS" </dev/null 2>&1 | tee "$ctest_log"; then
        :
    else
        failed+=("$preset: tests")
    fi
    summary[$preset]=$(grep -E 'tests passed|tests failed|No tests were found' "$ctest_log" || echo "no ctest summary")
done

echo
olv_log "summary ($(olv_seconds_since "$start") s)"
for preset in "${PRESETS[@]}"; do
    printf '  %-8s %s\n' "$preset" "${summary[$preset]:-not run}"
done
if ((${#failed[@]})); then
    printf '  FAILED: %s\n' "${failed[@]}"
    exit 1
fi
echo "  all passed"
