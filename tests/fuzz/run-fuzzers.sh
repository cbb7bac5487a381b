#!/usr/bin/env bash
# Runs every fuzz target of BUILD_DIR, first on its seed corpus alone and then for SECONDS on a scratch
# copy of that corpus, so nothing is written into the source tree. Exits non-zero on any crash, leak,
# timeout or sanitizer report; the input that caused it is kept under BUILD_DIR/tests/fuzz/findings.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 BUILD_DIR [SECONDS]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1" && pwd)/tests/fuzz
seconds=${2:-30}

# Longest input per target: a page may be large, the texts read from settings and log lines are short.
declare -A max_len=(
  [fuzz_pagereader]=65536
  [fuzz_texttosingle]=256
  [fuzz_logrecord]=4096
  [fuzz_adapteraddress]=64
  [fuzz_httpresponseparser]=16384
  [fuzz_owserverreply]=8192
  [fuzz_httprequesthead]=4096
  [fuzz_namefilters]=1024
  [fuzz_logfile]=65536
)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if [ -f "$here/lsan.supp" ]; then
  export LSAN_OPTIONS=suppressions=$here/lsan.supp:print_suppressions=0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
logs=$bin/logs
findings=$bin/findings
mkdir -p "$logs"
rm -rf "$findings"

# A sanitizer report that did not end the process still counts.
reported() {
  grep -qE '^(==[0-9]+==ERROR|SUMMARY: (Address|UndefinedBehavior|Leak)Sanitizer)|runtime error:' "$1"
}

failed=()
for dir in "$here"/corpus/*/; do
  target=$(basename "$dir")
  exe=$bin/$target
  log=$logs/$target.log
  if [ ! -x "$exe" ]; then
    echo "$target: not built in $1" >&2
    failed+=("$target")
    continue
  fi
  len=${max_len[$target]:-4096}

  # libFuzzer runs the files it is given once each and exits.
  seeds=("$dir"*)
  if ! "$exe" -timeout=10 -rss_limit_mb=2048 "${seeds[@]}" >"$log.seeds" 2>&1 || reported "$log.seeds"; then
    echo "$target: FAILED on its seed corpus (${#seeds[@]} files), see $log.seeds" >&2
    tail -n 40 "$log.seeds" >&2
    failed+=("$target")
    continue
  fi

  corpus=$work/$target
  mkdir -p "$corpus" "$findings/$target"
  cp "${seeds[@]}" "$corpus/"
  dict=()
  if [ -f "$here/$target.dict" ]; then
    dict=(-dict="$here/$target.dict")
  fi
  start=$(date +%s.%N)
  status=0
  "$exe" "$corpus" "${dict[@]}" -max_total_time="$seconds" -max_len="$len" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/$target/" >"$log" 2>&1 || status=$?
  end=$(date +%s.%N)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  printf '%-22s %10s executions in %5.1f s (seeds: %d)\n' "$target" "${execs:-?}" \
    "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')" "${#seeds[@]}"
  if [ "$status" -ne 0 ] || reported "$log" || [ -n "$(ls -A "$findings/$target")" ]; then
    echo "$target: FAILED (exit $status), see $log; inputs in $findings/$target" >&2
    grep -m 1 -E 'ERROR|runtime error|deadly signal|timeout|out-of-memory' "$log" >&2 || true
    # The input in the report itself, so that a CI log alone is enough to reproduce the finding.
    for input in "$findings/$target"/*; do
      [ -f "$input" ] && echo "$target: input $(basename "$input") as base64: $(base64 -w 0 "$input")" >&2
    done
    failed+=("$target")
  else
    rmdir "$findings/$target"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: no findings"
