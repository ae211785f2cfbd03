#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs every test of a build (make test), two at a time. The end-to-end suites drive real servers,
# a real window and a guest kernel on a two-core machine, and a few of their cases depend on when
# a compositor, a JACK client or the guest gets a core. So the cases of an end-to-end suite that
# failed run once more, alone (tests/e2e/run_suite.py kept their names); the suite counts as
# passed only if they pass then, and it is named in the verdict either way, with the first run's
# output above. Any other test that fails fails the run at once.
# The run ends with the cases skipped and why, then every case that failed the first time.
#   scripts/run-tests.sh BUILD_DIR
set -uo pipefail
build=${1:?usage: run-tests.sh BUILD_DIR}
artifacts=$build/e2e-artifacts
rm -f "$artifacts"/*.failed "$artifacts"/*.skipped  # an earlier run's
first_failed=()

# The closing lines: the skips as run_suite.py kept them (MODULE.skipped: "case: reason" a line),
# then the cases that failed the first time. Neither reads as CTest's summary, which CI reads.
closing() {
  local skips
  skips=$(cat "$artifacts"/*.skipped 2>/dev/null | paste -sd ';' | sed 's/;/; /g')
  echo "run-tests: skipped: ${skips:-none}"
  if ((${#first_failed[@]})); then
    echo "run-tests: failed the first time: $(printf '%s\n' "${first_failed[@]}" | paste -sd ',' | sed 's/,/, /g')"
  else
    echo "run-tests: no case failed the first time"
  fi
}

if ctest --test-dir "$build" -j 2 --output-on-failure; then
  closing
  exit 0
fi
failed_log="$build/Testing/Temporary/LastTestsFailed.log"
[[ -s $failed_log ]] || exit 1  # CTest itself failed: nothing to run again
mapfile -t failed < <(cut -d: -f2 "$failed_log")
# Each suite's failed cases as its first run kept them (before the second run takes the list); a
# suite that kept none (killed, or not an end-to-end one) by its own name.
for name in "${failed[@]}"; do
  kept=$artifacts/${name#e2e_}.failed
  if [[ $name == e2e_* && -s $kept ]]; then
    mapfile -t -O "${#first_failed[@]}" first_failed <"$kept"
  else
    first_failed+=("$name")
  fi
done
for name in "${failed[@]}"; do
  if [[ $name != e2e_* ]]; then
    echo "run-tests: $name failed; only end-to-end suites run again" >&2
    closing
    exit 1
  fi
done
echo "run-tests: failed in the first run: ${failed[*]}; their failed cases once more, alone:"
if TAMRELS_RERUN_FAILED=1 ctest --test-dir "$build" --rerun-failed --output-on-failure; then
  echo "run-tests: passed when run again alone (intermittent): ${failed[*]}"
  closing
  exit 0
fi
echo "run-tests: failed twice: $(cut -d: -f2 "$failed_log" | tr '\n' ' ')" >&2
closing
exit 1
