"""Runs one end-to-end module for CTest: run.py MODULE. Exits 77, which
CTest reports as skipped, when every test in it skipped (a tool missing, or
a build the tests cannot hold for); 1 on a failure; 0 otherwise."""

import sys
import unittest

from harness import wine_kept_up

# Under Wine, one Wine for the whole module: starting it afresh for each
# program costs seconds.
with wine_kept_up():
    result = unittest.main(module=sys.argv[1], argv=[sys.argv[0], "-v"], exit=False).result
if not result.wasSuccessful():
    sys.exit(1)
# Skipped subtests leave their test counted as run; a class skipped whole
# runs none.
whole = [t for t, _ in result.skipped if isinstance(t, unittest.TestCase)
         and type(t).__name__ != "_SubTest"]
sys.exit(77 if result.skipped and result.testsRun == len(whole) else 0)
