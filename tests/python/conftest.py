import os

os.environ.setdefault("MPLBACKEND", "Agg")
# Entries reached only by tests, kept out of the public module.
os.environ["OVREL_TEST_HOOKS"] = "1"
