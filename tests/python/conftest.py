import os
import sys

os.environ.setdefault("MPLBACKEND", "Agg")
# Entries reached only by tests, kept out of the public module.
sys._xoptions["ovrel_test_hooks"] = True
