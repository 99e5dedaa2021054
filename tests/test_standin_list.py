#!/usr/bin/env python3
"""The bundled stand-in list: its script makes it byte for byte, and it has the shape of the maker's list
that the tool and its tests are built around. Usage: test_standin_list.py DATA_DIR"""

import collections, csv, io, os, pathlib, re, subprocess, sys, unittest

class StandinList(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.committed = pathlib.Path(DATA, "BrenvicMACtoSerial.csv").read_bytes()
        cls.rows = list(csv.reader(io.StringIO(cls.committed.decode("ascii"), newline="")))[1:]

    def test_script_makes_the_committed_list(self):
        made = subprocess.run([sys.executable, os.path.join(DATA, "make_standin_list.py")],
                              stdout=subprocess.PIPE, check=True).stdout
        self.assertEqual(made, self.committed)

    def test_macs(self):
        macs = [mac for mac, _ in self.rows]
        self.assertEqual((len(macs), len(set(macs)), macs), (28798, 28798, sorted(macs)))
        self.assertEqual({mac[:8] for mac in macs}, {"02:5E:A1"})
        last_groups = [int(mac[-2:], 16) for mac in macs]
        self.assertNotEqual(last_groups[0] % 4, 0)
        self.assertTrue(all(group % 4 == 0 for group in last_groups[1:]))
        numbers = {int(mac.replace(":", ""), 16) for mac in macs}
        self.assertFalse(any(n + 1 in numbers for n in numbers))

    def test_serials(self):
        serials = [serial for _, serial in self.rows]
        self.assertEqual(len(set(serials)), len(serials))
        self.assertEqual(collections.Counter(map(len, serials)), {11: 28292, 9: 440, 12: 59, 10: 4, 6: 2, 8: 1})
        self.assertEqual(sum("-" in serial for serial in serials), 10)
        self.assertEqual([serial for serial in serials if not re.fullmatch(r"[A-Z0-9-]+", serial)], ["#NAME?"])

if __name__ == "__main__":
    DATA = sys.argv.pop(1)
    unittest.main(verbosity=1)
