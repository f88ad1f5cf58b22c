#!/usr/bin/env bash
# Bounded libFuzzer runs of the fuzz targets, one after another.
#
#   fuzz/run.sh [-t SECONDS] [-g] [TARGET...]
#
# -t  seconds per target (default 60)
# -g  grow the committed corpora: merge what the run found into
#     fuzz/corpus/TARGET (minimised by libFuzzer's merge)
# Targets default to all four. Build them first:
#   cmake --preset fuzz && cmake --build build/fuzz --target fuzz_options ...
# DMCHECK_FUZZ_BUILD names another build directory. A crash leaves its input
# in the run's work directory (printed) and makes the script fail.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${DMCHECK_FUZZ_BUILD:-$root/build/fuzz}
seconds=60
grow=0
while getopts "t:g" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    g) grow=1 ;;
    *) echo "usage: $0 [-t SECONDS] [-g] [TARGET...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_options fuzz_registry fuzz_driver_records fuzz_image)

max_len() {
  case $1 in
    fuzz_options) echo 256 ;;
    fuzz_registry) echo 160 ;;
    fuzz_driver_records) echo 1024 ;;
    fuzz_image) echo 4096 ;;
    *) echo 4096 ;;
  esac
}

work=$(mktemp -d "${TMPDIR:-/tmp}/dmcheck-fuzz.XXXXXX")
failed=0
for t in "${targets[@]}"; do
  exe=$build/fuzz/$t
  if [ ! -x "$exe" ]; then
    echo "fuzz/run.sh: $exe is not built" >&2
    failed=1
    continue
  fi
  seeds=$root/fuzz/corpus/$t
  mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
  extra=()
  [ -f "$root/fuzz/$t.dict" ] && extra+=("-dict=$root/fuzz/$t.dict")
  # Whole runs leave the machine's state to the next input, so LSan would scan
  # the heap after nearly every input; the target checks the machine's held
  # accounting instead.
  [ "$t" = fuzz_image ] && extra+=("-detect_leaks=0")
  echo "== $t: ${seconds}s"
  # The targets print what the program prints; only libFuzzer's own lines and
  # sanitizer reports are kept (close_fd_mask=3).
  if ! "$exe" "$work/$t/corpus" "$seeds" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
      -timeout=20 -rss_limit_mb=2560 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$work/$t/artifacts/" "${extra[@]}" 2>"$work/$t/log"; then
    failed=1
    echo "fuzz/run.sh: $t failed; log and input in $work/$t" >&2
    tail -n 40 "$work/$t/log" >&2
    continue
  fi
  grep -E '^(stat::|#[0-9]+ *DONE)' "$work/$t/log" || true
  if [ "$grow" = 1 ]; then
    "$exe" -merge=1 -max_len="$(max_len "$t")" -close_fd_mask=3 "$seeds" "$work/$t/corpus" \
      2>>"$work/$t/log"
  fi
done
[ "$failed" = 0 ] && rm -rf "$work"
exit "$failed"
