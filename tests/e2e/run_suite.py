# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs one end-to-end module as CTest's entry for it and keeps the names of its failed cases in
$TAMRELS_ARTIFACTS/MODULE.failed, and those of its skipped cases with the reasons in MODULE.skipped
(scripts/run-tests.sh names both at the end of make test). With TAMRELS_RERUN_FAILED=1 (a second
run) it runs only the failed cases, alone; the whole module where no such list was kept (the first
run was killed) or a failure was no case's own (setUpModule).
    python3 run_suite.py MODULE"""

import os
import re
import sys
import unittest


def failed_names(result, module):
    """What to run again for each failure: the case; its class where setUpClass failed; None where
    the whole module must run."""
    names = []
    for test, _ in result.failures + result.errors:
        test = getattr(test, "test_case", test)  # a subTest: its case
        fixture = re.fullmatch(r"(?:setUpClass|tearDownClass) \((\S+)\)", str(test))
        name = test.id() if isinstance(test, unittest.TestCase) else fixture and fixture.group(1)
        names.append(name if name and name.startswith(module + ".") else None)  # not: an import failed
    return names


def main():
    module = sys.argv[1]
    kept = os.path.join(os.environ.get("TAMRELS_ARTIFACTS", "."), module + ".failed")
    rerun = os.environ.get("TAMRELS_RERUN_FAILED") == "1"
    names = [module]
    if os.path.exists(kept):
        with open(kept) as f:
            if rerun:
                names = f.read().split() or [module]
                print(f"run_suite: only the cases that failed: {' '.join(names)}", flush=True)
        os.remove(kept)
    result = unittest.main(module=None, argv=[sys.argv[0], "-v", *names], exit=False).result
    os.makedirs(os.path.dirname(kept), exist_ok=True)
    if not rerun:  # a second run's skips are the first run's
        with open(kept.removesuffix(".failed") + ".skipped", "w") as f:
            f.writelines(f"{test.id()}: {reason}\n" for test, reason in result.skipped)
    if result.wasSuccessful():
        return 0
    again = failed_names(result, module)
    with open(kept, "w") as f:
        f.write("\n".join(sorted(set(again))) if None not in again else module)
    return 1


if __name__ == "__main__":
    sys.exit(main())
