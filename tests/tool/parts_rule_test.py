"""The publisher tool's parts include only parts below them (docs/architecture.md)."""

import os
import re
import unittest

from tool_support import SOURCE_DIR

# From the bottom up; a part may include itself and the parts before it.
ORDER = ["base", "signing", "pe", "http", "publishing", "server", "commands"]
# Parts that may not include each other although one stands lower (siblings).
SIBLINGS = {("pe", "signing"), ("signing", "pe")}
TOOL = os.path.join(SOURCE_DIR, "tools", "virelo-release")
INCLUDE = re.compile(r'^#include "([a-z_]+)/[a-z_]+\.h"', re.M)


class PartsRuleTest(unittest.TestCase):
    def test_every_include_points_down(self):
        found = 0
        for part in ORDER:
            folder = os.path.join(TOOL, part)
            for name in sorted(os.listdir(folder)):
                with open(os.path.join(folder, name)) as f:
                    text = f.read()
                for target in INCLUDE.findall(text):
                    if target not in ORDER:
                        continue  # the setup program's portable core
                    found += 1
                    with self.subTest(file=f"{part}/{name}", includes=target):
                        self.assertLessEqual(ORDER.index(target), ORDER.index(part))
                        self.assertNotIn((part, target), SIBLINGS)
        self.assertGreater(found, 50)  # the pattern still matches the code's includes

    def test_only_main_lives_at_the_top(self):
        top = [n for n in os.listdir(TOOL) if n.endswith((".cpp", ".h"))]
        self.assertEqual(top, ["main.cpp"])


if __name__ == "__main__":
    unittest.main()
