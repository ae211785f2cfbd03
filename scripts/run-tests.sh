#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs every test of a build (make test), two at a time. The end-to-end suites drive real servers,
# a real window and a guest kernel on a two-core machine, and a few of their cases depend on when
# a compositor, a JACK client or the guest gets a core. So the cases of an end-to-end suite that
# failed run once more, alone (tests/e2e/run_suite.py kept their names; the ALSA guest's suite runs
# whole); the suite counts as passed only if they pass then, and it is named in the verdict either
# way, with the first run's output above. Any other test that fails fails the run at once.
#   scripts/run-tests.sh BUILD_DIR
set -uo pipefail
build=${1:?usage: run-tests.sh BUILD_DIR}
ctest --test-dir "$build" -j 2 --output-on-failure && exit 0
failed_log="$build/Testing/Temporary/LastTestsFailed.log"
[[ -s $failed_log ]] || exit 1  # CTest itself failed: nothing to run again
mapfile -t failed < <(cut -d: -f2 "$failed_log")
for name in "${failed[@]}"; do
  if [[ $name != e2e_* ]]; then
    echo "run-tests: $name failed; only end-to-end suites run again" >&2
    exit 1
  fi
done
echo "run-tests: failed in the first run: ${failed[*]}; their failed cases once more, alone:"
if TAMRELS_RERUN_FAILED=1 ctest --test-dir "$build" --rerun-failed --output-on-failure; then
  echo "run-tests: passed when run again alone (intermittent): ${failed[*]}"
  exit 0
fi
echo "run-tests: failed twice: $(cut -d: -f2 "$failed_log" | tr '\n' ' ')" >&2
exit 1
