#!/usr/bin/env bash
# Installs the peer libraries of bench/compare_peers.py into the current Python environment.
# A peer that fails to install is reported and skipped: the benchmark marks its rows instead.
set -u
PYTHON=${PYTHON:-python3}
HERE=$(cd "$(dirname "$0")" && pwd)

"$PYTHON" -m pip install -q -r "$HERE/requirements-peers.txt" ||
  echo "bench: some peers from requirements-peers.txt did not install; continuing" >&2

# changepoint-cython: the source release needs Cython < 3 and a setup.py build; build its wheel
# in a throw-away virtual environment so the main environment's Cython stays as it is.
if ! "$PYTHON" -c "import pychangepoints.algo_changepoints" >/dev/null 2>&1; then
  scratch=$(mktemp -d)
  if "$PYTHON" -m venv "$scratch/venv" &&
     "$scratch/venv/bin/pip" install -q "cython<3" numpy setuptools wheel &&
     "$scratch/venv/bin/pip" wheel -q --no-build-isolation --no-deps changepoint-cython \
       -w "$scratch/wheels"; then
    "$PYTHON" -m pip install -q "$scratch"/wheels/changepoint_cython-*.whl ||
      echo "bench: changepoint-cython wheel did not install; continuing" >&2
  else
    echo "bench: changepoint-cython did not build on this machine; continuing" >&2
  fi
  rm -rf "$scratch"
fi
exit 0
