#!/usr/bin/env bash
# Runs a fuzzing campaign: each fuzz target in turn under libFuzzer (built
# with clang 14, AddressSanitizer and UndefinedBehaviorSanitizer by the
# `fuzz` preset), for SECONDS each or until it has run the number of inputs
# given with --runs, whichever comes first. One target at a time, at the
# lowest priority, so that the machine stays usable.
#
# What a target finds that is new goes into build/fuzz/found/<name>/ (the
# committed seeds in fuzz/corpus/<name>/ are read, never written); a crash
# leaves its input in build/fuzz/crashes/<name>/ and stops that target. The
# summary gives, per target, the inputs run, the coverage (cov: edges, ft:
# features), inputs per second and crashes. Exits 1 when any target
# crashed, 130 when stopped with Ctrl-C (after the summary so far).
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(stringencode y4m framepoll preferences components socketaddress logging)

usage() {
  cat <<EOF
usage: scripts/fuzz.sh [SECONDS] [--runs N] [--target NAME]... [--no-build]

Runs each fuzz target under libFuzzer for SECONDS (default 60), or until it
has run N inputs.

  --runs N        stop a target after N inputs (default: no limit)
  --target NAME   fuzz only NAME (repeatable); one of:
                  ${all_targets[*]}
  --no-build      use the programs already in build/fuzz/bin
  --help          show this and exit
  --version       show the version and exit
EOF
}

seconds=60
runs=-1
targets=()
build=1
while (($# > 0)); do
  case "$1" in
    --help | -h) usage; exit 0 ;;
    --version) sed -n 's/^project(quorvex VERSION \([^ ]*\).*/fuzz.sh (quorvex) \1/p' CMakeLists.txt; exit 0 ;;
    --runs)
      [[ $# -ge 2 && "$2" =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: --runs needs a positive whole number" >&2; exit 2; }
      runs=$2; shift 2 ;;
    --target)
      [[ $# -ge 2 ]] || { echo "fuzz.sh: --target needs a name" >&2; exit 2; }
      [[ " ${all_targets[*]} " == *" $2 "* ]] || {
        echo "fuzz.sh: no fuzz target '$2'; the targets are: ${all_targets[*]}" >&2; exit 2; }
      targets+=("$2"); shift 2 ;;
    --no-build) build=0; shift ;;
    [0-9]*)
      [[ "$1" =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: '$1' is not a whole number of seconds" >&2; exit 2; }
      seconds=$1; shift ;;
    *) echo "fuzz.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
((${#targets[@]} > 0)) || targets=("${all_targets[@]}")

if ((build)); then
  command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is missing (Debian's clang-14)" >&2; exit 1; }
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
fi

bin=build/fuzz/bin
summary=()
crashed=0
child=0

print_summary() {
  printf '\n%-14s %12s %8s %8s %10s  %s\n' target inputs cov ft 'inputs/s' result
  local line
  for line in "${summary[@]}"; do printf '%s\n' "$line"; done
}

on_interrupt() {
  if ((child > 0)); then kill -INT "$child" 2>/dev/null || true; wait "$child" 2>/dev/null || true; fi
  summary+=("(stopped by the user)")
  print_summary
  exit 130
}
trap on_interrupt INT TERM

for name in "${targets[@]}"; do
  program=$bin/${name}_fuzz
  [[ -x "$program" ]] || { echo "fuzz.sh: $program is missing; run without --no-build" >&2; exit 1; }
  found=build/fuzz/found/$name
  crashes=build/fuzz/crashes/$name
  log=build/fuzz/logs/$name.log
  mkdir -p "$found" "$crashes" "$(dirname "$log")"
  args=(-max_total_time="$seconds" -runs="$runs" -timeout=25 -print_final_stats=1
        -artifact_prefix="$crashes/")
  [[ -f fuzz/$name.dict ]] && args+=(-dict="fuzz/$name.dict")
  # A y4m frame needs room for its planes.
  [[ $name == y4m ]] && args+=(-max_len=16384)
  echo "==> $name for ${seconds}s$( ((runs > 0)) && echo " or $runs inputs") (log: $log)"
  status=0
  nice -n 19 "$program" "${args[@]}" "$found" "fuzz/corpus/$name" >"$log" 2>&1 &
  child=$!
  wait "$child" || status=$?
  child=0
  inputs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
  if ((status == 0)); then
    result=ok
  else
    crashed=1
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    result="CRASH (status $status) ${artifact:-see $log}"
  fi
  summary+=("$(printf '%-14s %12s %8s %8s %10s  %s' "$name" "${inputs:-?}" "${cov:-?}" "${ft:-?}" \
    "${speed:-?}" "$result")")
  echo "    ${summary[-1]}"
done

print_summary
exit "$crashed"
