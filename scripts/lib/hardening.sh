# The hardening stages that scripts/test runs after the ordinary build and tests: the unit and
# widget tests in an address + undefined-behaviour sanitizer build, the engine's concurrency tests
# under ThreadSanitizer, and the fuzz targets. Each stage has its own build tree beside build/ and
# builds only what it runs. Sourced by scripts/check-sanitizers and scripts/fuzz, after common.sh.
# shellcheck shell=bash

: "${quellnet_root:?source scripts/lib/common.sh first}"

# One test run at a time on a machine: the tests share 127.0.0.1:1337 and the helper socket.
hardening_test_lock=/tmp/quellnet-test.lock
hardening_jobs=${QUELLNET_JOBS:-2}

# Prints how long the stage named $1 took since $2 (seconds since the epoch).
hardening_took() {
    echo "==> $1 took $(($(date +%s) - $2)) s"
}

# The test programs labelled $2 in build tree $1, one name a line: the tests that are targets of the
# build (quellnet_add_test names a test after its program). Script tests (the install layout, the
# screenshot) check files, not memory, and are left to the ordinary build.
hardening_test_programs_labelled() {
    local targets
    targets=$(cmake --build "$1" --target help | sed -n 's/^\.\.\. \([A-Za-z0-9_]*\).*/\1/p')
    ctest --test-dir "$1" -N -L "$2" | sed -n 's/^ *Test *#[0-9]*: *//p' | grep -Fxf <(echo "$targets")
}

# A ctest -R expression for exactly the given test names.
hardening_exact_names() {
    local IFS='|'
    echo "^($*)\$"
}

# --- Address and undefined-behaviour sanitizers ---------------------------------------------------

# Every report fails the run: ASan and UBSan stop at the first finding with exit code 1, and
# LeakSanitizer checks every test program at exit. No leak is suppressed: Qt Core, Network and
# Widgets on the offscreen platform free what they allocate, and so must the program.
hardening_asan_env() {
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:detect_odr_violation=2"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1"
}

# Builds the unit (and, when $1 is "gui", the widget) tests with -DQUELLNET_SANITIZE=ON in
# build-asan/ and runs them there.
hardening_asan_stage() {
    local labels=${1:-unit}
    local build="$quellnet_root/build-asan"
    local started
    started=$(date +%s)
    [ "$labels" = gui ] && labels='unit|gui'

    echo "==> address + undefined sanitizers: configuring $build"
    cmake -S "$quellnet_root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLNET_SANITIZE=ON >/dev/null
    local targets
    mapfile -t targets < <(hardening_test_programs_labelled "$build" "$labels")
    [ ${#targets[@]} -gt 0 ] || { echo "no test programs labelled $labels in $build" >&2; return 1; }
    echo "==> building ${#targets[@]} test programs: ${targets[*]}"
    cmake --build "$build" -j"$hardening_jobs" --target "${targets[@]}"
    hardening_took "the sanitizer build" "$started"

    local tests_started
    tests_started=$(date +%s)
    (
        hardening_asan_env
        flock "$hardening_test_lock" ctest --test-dir "$build" -R "$(hardening_exact_names "${targets[@]}")" \
            --output-on-failure --timeout 600
    )
    hardening_took "the tests under ASan/UBSan" "$tests_started"
}

# --- ThreadSanitizer ------------------------------------------------------------------------------

hardening_tsan_tests=(tst_openvpnstate tst_openvpnservice tst_helperconnection tst_asynctask)

# Builds the concurrency tests (the engine's, the helper connection's, the thread hop's) with
# -DQUELLNET_TSAN=ON in build-tsan/ (no widgets) and runs them. Suppressions: scripts/lib/tsan.supp.
hardening_tsan_stage() {
    local build="$quellnet_root/build-tsan"
    local started
    started=$(date +%s)

    echo "==> thread sanitizer: configuring $build"
    cmake -S "$quellnet_root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLNET_TSAN=ON \
        -DQUELLNET_BUILD_GUI=OFF >/dev/null
    cmake --build "$build" -j"$hardening_jobs" --target "${hardening_tsan_tests[@]}"
    hardening_took "the thread sanitizer build" "$started"

    local tests_started
    tests_started=$(date +%s)
    (
        export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$quellnet_root/scripts/lib/tsan.supp"
        flock "$hardening_test_lock" ctest --test-dir "$build" -R "$(hardening_exact_names "${hardening_tsan_tests[@]}")" \
            --output-on-failure --timeout 600
    )
    hardening_took "the tests under TSan" "$tests_started"
}

# --- Fuzzing --------------------------------------------------------------------------------------

# shellcheck disable=SC2034 # used by scripts/fuzz
hardening_fuzz_targets=(management_parser helper_wire profile_allowlist)

# Longest input each target is given: a few reads of management output, one wire line, a profile
# with its inline certificates and keys.
hardening_fuzz_max_len() {
    case "$1" in
    profile_allowlist) echo 16384 ;;
    *) echo 4096 ;;
    esac
}

# Extra libFuzzer flags of a target, one a line. Floods of management output (the parser target's way to reach
# the receive buffer's 1 MiB bound) take a hundred times longer than other inputs under ASan, so
# the parser target picks slow inputs less often.
hardening_fuzz_flags() {
    case "$1" in
    management_parser) echo -entropic_scale_per_exec_time=1 ;;
    esac
}

# Configures build-fuzz/ with clang and libFuzzer and builds the fuzz targets only.
hardening_fuzz_build() {
    local build="$quellnet_root/build-fuzz"
    local started
    started=$(date +%s)
    echo "==> fuzz targets: configuring $build (clang-14, libFuzzer, address + undefined)"
    CC=clang-14 CXX=clang++-14 cmake -S "$quellnet_root" -B "$build" -DQUELLNET_FUZZ=ON \
        -DQUELLNET_BUILD_GUI=OFF -DQUELLNET_BUILD_TESTS=OFF \
        -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" >/dev/null
    cmake --build "$build" -j"$hardening_jobs" --target fuzzers
    hardening_took "the fuzz build" "$started"
}

# Runs fuzz target $1 for $2 seconds. New inputs go to build-fuzz/corpus/<target>, the committed
# seeds in fuzz/corpus/<target> are only read; a finding lands in build-fuzz/findings/<target>/.
# Prints one summary line; fails when the target found something.
hardening_fuzz_run() {
    local target=$1 seconds=$2
    local build="$quellnet_root/build-fuzz"
    local work="$build/corpus/$target" findings="$build/findings/$target" log="$build/logs/$target.log"
    mkdir -p "$work" "$findings" "$(dirname "$log")"

    local flags status=0
    mapfile -t flags < <(hardening_fuzz_flags "$target")
    (
        export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
        "$build/fuzz/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -max_len="$(hardening_fuzz_max_len "$target")" -dict="$quellnet_root/fuzz/dict/$target.dict" \
            -artifact_prefix="$findings/" -print_final_stats=1 "${flags[@]}" \
            "$work" "$quellnet_root/fuzz/corpus/$target"
    ) >"$log" 2>&1 || status=$?

    local runs coverage corpus
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n1 | cut -d' ' -f2)
    corpus=$(find "$work" -type f | wc -l)
    printf '%-20s %6s s %12s runs %8s edges %6s inputs  %s\n' "$target" "$seconds" "${runs:-?}" \
        "${coverage:-?}" "$corpus" "$([ $status -eq 0 ] && echo ok || echo "FOUND SOMETHING: see $log")"
    if [ $status -ne 0 ]; then
        grep -E 'ERROR|invariant broken|SUMMARY|Test unit written|deadly signal|timeout' "$log" | head -n 20
        return 1
    fi
}
