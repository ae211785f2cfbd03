# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs end-to-end cases against the program built with ThreadSanitizer, and fails on any report
that tsan.supp does not explain. Every process of ours that the cases start writes its reports to
a folder of its own here (TSAN_OPTIONS reaches them through the harness's environment)."""

import glob
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))

logs = tempfile.mkdtemp(prefix="tamrels-tsan-")
os.environ["TSAN_OPTIONS"] = " ".join([
    f"log_path={logs}/report", f"suppressions={HERE}/tsan.supp", "halt_on_error=0",
    "second_deadlock_stack=1", "history_size=4"])
os.environ["TAMRELS_TIME_SCALE"] = "3"
# The JACK peer is not under test here: JACK's own monitor, not built with ThreadSanitizer (ours
# hands its records over libjack's ring buffer, whose barriers it cannot see in that library).
os.environ["TAMRELS_E2E_MONITOR"] = "jack_midi_dump"
result = unittest.main(module=None, argv=["tsan_run", "-v"] + sys.argv[1:], exit=False).result
reports = []
for path in sorted(glob.glob(os.path.join(logs, "report.*"))):
    with open(path, errors="replace") as f:
        if text := f.read().strip():
            reports.append(text)
for text in reports:
    print(text)
print(f"ThreadSanitizer: {len(reports)} processes reported")
sys.exit(0 if result.wasSuccessful() and not reports else 1)
