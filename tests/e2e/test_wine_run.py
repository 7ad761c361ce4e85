"""tools/wine-run.sh tells a program that never started under Wine from a
failed test, and starts it again. A stand-in for Wine plays both."""

import os
import subprocess
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE_RUN = os.path.join(ROOT, "tools", "wine-run.sh")

# Fails silently for the first FAKE_SILENT starts, then behaves as FAKE_THEN.
FAKE_WINE = r"""#!/bin/sh
n=$(cat "$FAKE_COUNT" 2>/dev/null || echo 0)
n=$((n + 1))
echo $n >"$FAKE_COUNT"
[ $n -le "$FAKE_SILENT" ] && exit 53
case $FAKE_THEN in
  pass) echo "[  PASSED  ] 1 test. $*"; exit 0 ;;
  fail) echo "[  FAILED  ] 1 test"; echo "expected 2" >&2; exit 1 ;;
esac
"""


class WineRun(unittest.TestCase):
    def run_fake(self, silent, then, retry=True):
        with tempfile.TemporaryDirectory() as d:
            wine = os.path.join(d, "wine")
            with open(wine, "w") as f:
                f.write(FAKE_WINE)
            os.chmod(wine, 0o755)
            count = os.path.join(d, "count")
            env = dict(os.environ, SOCKVANE_WINE=wine, FAKE_COUNT=count, FAKE_SILENT=str(silent),
                       FAKE_THEN=then)
            args = [WINE_RUN, *(["--retry-start"] if retry else []), os.path.join(d, "prefix"), "t.exe", "--x"]
            p = subprocess.run(args, env=env, capture_output=True, text=True, timeout=60)
            with open(count) as f:
                starts = int(f.read())
        return p, starts

    def test_starts_and_outcomes(self):
        cases = [
            # silent starts, then, retry: status, starts, stdout holds, stderr holds
            (0, "pass", True, 0, 1, "PASSED  ] 1 test. t.exe --x", None),
            (1, "pass", True, 0, 2, "PASSED", "starting it again"),
            (2, "pass", True, 0, 3, "PASSED", "starting it again"),
            (5, "pass", True, 53, 3, "", "did not start under Wine"),
            (0, "fail", True, 1, 1, "FAILED", "expected 2"),     # a failed test is not retried
            (1, "fail", True, 1, 2, "FAILED", "expected 2"),
            (1, "pass", False, 53, 1, "", None),                 # plain mode runs once
        ]
        for silent, then, retry, status, starts, out, err in cases:
            with self.subTest(silent=silent, then=then, retry=retry):
                p, n = self.run_fake(silent, then, retry)
                self.assertEqual(p.returncode, status, p.stderr)
                self.assertEqual(n, starts)
                self.assertIn(out, p.stdout)
                if err:
                    self.assertIn(err, p.stderr)
                if then == "fail":
                    self.assertNotIn("did not start", p.stderr)


if __name__ == "__main__":
    unittest.main()
