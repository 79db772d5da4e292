#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each for a while.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: scripts/fuzz.sh [seconds] [target...]

Installs the packages (scripts/install-deps.sh), configures and builds the
"fuzz" preset (clang, libFuzzer, ASan, UBSan) and runs each target for the
given number of seconds (default 60) with -max_total_time. Targets:
  fuzz_request    request frames: frame start, scan, parse, every key reader
  fuzz_registry   registry export files: parse, node and value reads, settings
Default: both, one after the other.

Each target starts from a scratch copy of its committed seeds
(tests/fuzz/corpus/<name>/ -> build/fuzz/run/<target>/corpus/), so the
committed corpus is not flooded; the log is build/fuzz/run/<target>/fuzz.log
and crash, timeout and out-of-memory inputs land in build/fuzz/run/<target>/.
At the end one line per target gives executions, exec/s, coverage and corpus
size. Exits 1 when a target found a crash (its input file is named).

Environment:
  FUZZ_JOBS=N      build jobs (default: number of cores)
  FUZZ_ARGS="..."  extra libFuzzer flags for every target
  ZUV_FUZZ_LOG=1   keep the service's log lines (off by default for speed)

Reproduce a finding:  build/fuzz/bin/<target> <crash file>
EOF
}

seconds=60
targets=()
for arg in "$@"; do
  case "$arg" in
    -h|--help) usage; exit 0 ;;
    fuzz_request|fuzz_registry) targets+=("$arg") ;;
    ''|*[!0-9]*) echo "fuzz.sh: unknown argument '$arg' (see --help)" >&2; exit 2 ;;
    *) seconds="$arg" ;;
  esac
done
if [ "$seconds" -le 0 ]; then
  echo "fuzz.sh: seconds must be positive" >&2
  exit 2
fi
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_request fuzz_registry)
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

"$root/scripts/install-deps.sh"
cmake --preset fuzz
cmake --build --preset fuzz -j "${FUZZ_JOBS:-$(nproc)}"

# Per target: seed folder, dictionary, largest input.
declare -A seeds=([fuzz_request]=request [fuzz_registry]=registry)
declare -A max_len=([fuzz_request]=65536 [fuzz_registry]=16384)

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

summary=()
failed=0
for target in "${targets[@]}"; do
  name="${seeds[$target]}"
  run="$root/build/fuzz/run/$target"
  rm -rf "$run"
  mkdir -p "$run/corpus"
  cp -a "$root/tests/fuzz/corpus/$name/." "$run/corpus/"
  log="$run/fuzz.log"

  echo "fuzz.sh: running $target for ${seconds}s (log $log)"
  status=0
  # shellcheck disable=SC2086  # FUZZ_ARGS is a list of flags
  "$root/build/fuzz/bin/$target" \
      -max_total_time="$seconds" -max_len="${max_len[$target]}" \
      -dict="$root/tests/fuzz/$name.dict" -timeout=30 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$run/" ${FUZZ_ARGS:-} \
      "$run/corpus" >"$log" 2>&1 || status=$?

  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)"
  last="$(grep -E '^#[0-9]+' "$log" | tail -1 || true)"
  cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")"
  ft="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")"
  corp="$(sed -n 's/.* corp: \([^ ]*\).*/\1/p' <<<"$last")"
  line="$target: ${execs:-?} executions, ${rate:-?} exec/s, cov: ${cov:-?}, ft: ${ft:-?}, corpus: ${corp:-?} (units/bytes)"
  if [ "$status" -ne 0 ]; then
    failed=1
    artifact="$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)"
    line+=", FOUND A PROBLEM (exit $status): ${artifact:-see $log}"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|fuzz: check failed)' "$log" | head -5 || true
  fi
  summary+=("$line")
done

echo
echo "fuzz.sh: ${seconds}s per target"
for line in "${summary[@]}"; do
  echo "  $line"
done
exit "$failed"
