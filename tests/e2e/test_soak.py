"""A short faulted soak under Wine (soak.py): 60 acquisitions with a fixed seed, every fault kind but
the intermediary's stretches, which scripts/soak.sh runs: under them Wine's X clipboard bridge now and
then lists formats that it cannot render, which the audit cannot tell from a loss yet."""

import sys
import unittest

import soak

ACQUISITIONS = 60
SEED = 1  # its plan draws every fault kind


class ShortSoak(unittest.TestCase):
    def test_nothing_of_the_users_clipboard_is_lost_and_every_line_parses(self):
        run = soak.Soak(ACQUISITIONS, SEED, out=sys.stderr, intermediary=False)
        run.run()
        self.assertEqual(run.failures, [])
        self.assertEqual(run.lost, 0)
        self.assertEqual(set(run.faults), set(soak.FAULTS) | {"junk", "passive"},
                         "the seed draws every fault")
        self.assertGreater(run.holds_across, 0, "a clipboard hold spanned a give-back")
        self.assertGreaterEqual(run.compared, ACQUISITIONS)
        self.assertGreater(run.parsed, ACQUISITIONS * 3)


if __name__ == "__main__":
    unittest.main()
