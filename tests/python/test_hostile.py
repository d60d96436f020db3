"""Hostile calls into every function must never crash the process: the
property-based driver runs in a child process, so a crash shows up here as a
signal together with the call that caused it."""

import os
import signal
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = 200  # per tensor function; about ten seconds in all


def test_hostile_calls_never_crash_and_are_answered_correctly(tmp_path):
    log = tmp_path / "last_call.txt"
    env = {k: v for k, v in os.environ.items()
           if k not in ("KAVO_CPU_ISA", "KAVO_TRELLIS_CPU_BATCH_MAX")}
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "hostile_calls.py"), str(log), str(EXAMPLES)],
        env=env, capture_output=True, text=True, timeout=300)
    counts = proc.stdout.strip()
    print(counts)
    if proc.returncode < 0:
        last = log.read_text() if log.exists() else "(no call logged)"
        raise AssertionError(
            f"hostile calls crashed with {signal.Signals(-proc.returncode).name} "
            f"during:\n{last}\n{proc.stderr[-3000:]}")
    assert proc.returncode == 0, f"{counts}\n{proc.stderr[-6000:]}"
    assert "calls" in counts, proc.stderr[-3000:]
