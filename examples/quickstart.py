"""Quick start: checks that the engine is installed and answers."""

import ovrel

print("ovrel", ovrel.__version__)
print("smoke_detect([1.0, 2.0]) ->", ovrel.smoke_detect([1.0, 2.0]))
