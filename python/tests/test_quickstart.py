import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_quickstart_runs():
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))
    out = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "quickstart.py")], env=env,
                         capture_output=True, text=True, check=True).stdout
    assert "nearest five blue ones" in out and "1000 vectors, index hnsw" in out
