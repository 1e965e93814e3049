#!/usr/bin/env bash
# Runs the release suite N times (default 3) while as many busy processes as the machine has
# cores run beside it, as on a machine busy with other work, and reports each run's failures.
# Exits non-zero when any run failed. The release build in build/ must exist (./test.sh or the
# README's build commands make it); arguments after "--" go to ctest (e.g. -- -LE slow).
#
#   scripts/test-under-load.sh [-n N | N] [-- ctest arguments]
set -uo pipefail
cd "$(dirname "$0")/.."

runs=3
case "${1:-}" in
  -n) runs=${2:-}; shift 2 || shift ;;
  --|'') ;;
  *) runs=$1; shift ;;
esac
[ "${1:-}" = -- ] && shift
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [-n N | N] [-- ctest arguments]" >&2
  exit 2
fi
if [ ! -f build/CTestTestfile.cmake ]; then
  echo "no release build in build/: run ./test.sh first" >&2
  exit 2
fi

cores=$(nproc)
logs=build/test-under-load
mkdir -p "$logs"

# The busy processes: each a shell spinning on its own, ended by its process id (with the suite
# when it still runs) when the script ends in any way.
busy=()
suite=""
stop_all() {
  [ -n "$suite" ] && kill -- "-$suite" 2>/dev/null # the suite's process group: ctest and its tests
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${busy[@]}"; do wait "$pid" 2>/dev/null; done
  busy=()
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
for ((i = 0; i < cores; i++)); do
  ( while :; do :; done ) &
  busy+=("$!")
done
echo "== $cores busy processes: ${busy[*]}"

export QT_QPA_PLATFORM=offscreen
summary=()
failed_runs=0
for ((run = 1; run <= runs; run++)); do
  log="$logs/run-$run.log"
  echo "== Run $run of $runs (log: $log)"
  start=$(date +%s)
  # In the background, so that a signal to this script is acted on at once, and in a process
  # group of its own, which ends with the script.
  setsid ctest --test-dir build --output-on-failure -j "$cores" "$@" >"$log" 2>&1 &
  suite=$!
  wait "$suite"
  status=$?
  suite=""
  took=$(($(date +%s) - start))
  # ctest lists the failed tests below this line, one a line.
  failures=$(sed -n '/The following tests FAILED:/,$p' "$log" | sed -n 's/^[[:space:]]*[0-9]\+ - //p')
  if [ "$status" -eq 0 ]; then
    line="run $run: passed in ${took} s"
  else
    failed_runs=$((failed_runs + 1))
    line="run $run: FAILED in ${took} s: $(echo "${failures:-ctest exit status $status}" | paste -sd ';' -)"
    grep -E '^(FAIL!|   (Actual|Expected|Loc))' "$log" | head -40
  fi
  echo "$line"
  summary+=("$line")
done

echo "== Summary: $((runs - failed_runs)) of $runs runs passed beside $cores busy processes"
printf '%s\n' "${summary[@]}"
[ "$failed_runs" -eq 0 ]
