"""Makes the package importable from the repository root (or from the
folder named by KAVO_PKG_ROOT, for a build staged elsewhere) and shares it
with subprocesses started by the tests."""

import os
import sys

ROOT = os.environ.get("KAVO_PKG_ROOT") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(
    p for p in (ROOT, os.environ.get("PYTHONPATH", "")) if p)
