#!/usr/bin/env bash
# Runs each fuzz target for a bounded time on a scratch copy of its seed
# corpus; fails on any crash, leak, timeout or sanitizer report.
#   fuzz/run_fuzzers.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$(cd "${1:?build folder with the fuzz targets}" && pwd)
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for target in wave_header command_line wave_tags input_probe cue_sheet; do
  mkdir -p "$work/$target"
  # libcue leaves its parse state allocated when its grammar refuses a
  # sheet; that is the library's, so leaks are not looked for there.
  extra=() leaks=1
  [ "$target" = cue_sheet ] && extra=(-detect_leaks=0) leaks=0
  echo "== fuzz_$target for ${seconds}s"
  if ! (cd "$work" && ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=$leaks" "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
          -rss_limit_mb=2048 -print_final_stats=1 "${extra[@]}" "$work/$target" "$here/corpus/$target" \
          2>"$work/$target.log"); then
    status=1
    grep -v '^ read error' "$work/$target.log" | tail -n 40
    ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* 2>/dev/null || true
  else
    grep -E '^stat::number_of_executed_units|^Done' "$work/$target.log" || true
  fi
done
exit $status
