#!/usr/bin/env bash
# Builds and tests Olvetta: the native `dev` preset (ASan + UBSan), the `tsan`
# preset (ThreadSanitizer), the `fuzz` preset (the session corpus replayed, then
# the session loader fuzzed for OLV_FUZZ_SECONDS, 60 by default) and the
# `windows` preset (MinGW-w64, tests under Wine; its static yaml-cpp and PCRE2 are built first
# by tools/deps/mingw-deps.sh, cached in build/deps). Installs missing packages.
# Prints the time of every stage. Exits non-zero if any step fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/ci/common.sh

JOBS=${OLV_JOBS:-2}
PRESETS=(dev tsan fuzz windows)
FUZZ_SECONDS=${OLV_FUZZ_SECONDS:-60}
start=$(date +%s)

olv_ensure_packages "${OLV_PACKAGES[@]}"

mkdir -p build
failed=()
declare -A summary
declare -A took

# The windows preset's tests use their own prefix, build/windows/wine (see
# cmake/OlvTests.cmake). When the windows stage ends, passed or failed, and when this script
# stops early, every process of that prefix is ended (found by its environment: a crashed Wine
# server leaves its device processes running, orphaned), and a process that will not end fails
# the stage.
wine_prefix=$PWD/build/windows/wine
wine_in_use=0
end_wine_stage() {
    ((wine_in_use)) || return 0
    wine_in_use=0
    if ! olv_end_wine_prefix "$wine_prefix"; then
        failed+=("windows: processes of $wine_prefix remained (named above)")
        summary[windows]="${summary[windows]:-} (Wine processes remained)"
    fi
}
trap end_wine_stage EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Create the prefix before ctest so no test waits for it; its first session ends here.
wine_in_use=1
(olv_prepare_wine "$wine_prefix" unmanaged)
end_wine_stage

for preset in "${PRESETS[@]}"; do
    end_wine_stage # the stage before, when it was the windows one
    stage_start=$(date +%s)
    if [[ $preset == windows ]]; then
        wine_in_use=1
    fi
    log="build/$preset.log"
    if [[ $preset == windows ]] && ! tools/deps/mingw-deps.sh </dev/null; then
        failed+=("windows: yaml-cpp and PCRE2 for MinGW (tools/deps/mingw-deps.sh)")
        summary[$preset]="dependencies failed"
        took[$preset]=$(olv_seconds_since "$stage_start")
        continue
    fi
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
    olv_log "[$preset] built in $(olv_seconds_since "$stage_start") s"
    if [[ $preset == fuzz ]]; then
        # Every target's corpus once (every file must load without a finding), then new inputs
        # for the session loader for a while; new inputs go to a scratch folder so the corpora in
        # the tree stay as they are.
        replay_failed=""
        for target in build/fuzz/olv_fuzz_*; do
            name=${target##*/olv_fuzz_}
            [[ -d tests/corpus/$name ]] || continue
            olv_log "[fuzz] replay tests/corpus/$name"
            if ! "$target" -runs=0 "tests/corpus/$name" </dev/null >"build/fuzz-replay-$name.log" 2>&1; then
                tail -n 40 "build/fuzz-replay-$name.log"
                replay_failed+=" $name"
            fi
        done
        if [[ -n $replay_failed ]]; then
            failed+=("fuzz: corpus replay of$replay_failed")
            summary[fuzz]="corpus replay failed"
            took[$preset]=$(olv_seconds_since "$stage_start")
            continue
        fi
        fuzzer=build/fuzz/olv_fuzz_session
        olv_log "[fuzz] session loader for $FUZZ_SECONDS s"
        rm -rf build/fuzz/new-inputs && mkdir -p build/fuzz/new-inputs
        if "$fuzzer" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix=build/fuzz/ build/fuzz/new-inputs tests/corpus/session \
            </dev/null >build/fuzz-run.log 2>&1; then
            runs=$(grep -Eo '#[0-9]+[[:space:]]+DONE.*' build/fuzz-run.log | tail -n 1 || true)
            summary[fuzz]="corpora replayed; session loader: ${runs:-done}"
        else
            tail -n 60 build/fuzz-run.log
            failed+=("fuzz: finding (see build/fuzz/crash-* and build/fuzz-run.log)")
            summary[fuzz]="fuzzing found a fault"
        fi
        took[$preset]=$(olv_seconds_since "$stage_start")
        olv_log "[fuzz] done in ${took[$preset]} s"
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
    took[$preset]=$(olv_seconds_since "$stage_start")
    olv_log "[$preset] done in ${took[$preset]} s"
done
end_wine_stage

echo
olv_log "summary ($(olv_seconds_since "$start") s)"
for preset in "${PRESETS[@]}"; do
    printf '  %-8s %5s s  %s\n' "$preset" "${took[$preset]:-?}" "${summary[$preset]:-not run}"
done
if ((${#failed[@]})); then
    printf '  FAILED: %s\n' "${failed[@]}"
    exit 1
fi
echo "  all passed"
