"""Runs a command with DISPLAY set to a private Xvfb; returns the command's exit code."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from xtools import Xvfb  # noqa: E402

if __name__ == "__main__":
    x = Xvfb()
    try:
        code = subprocess.call(sys.argv[1:], env=x.env)
    finally:
        x.close()
    sys.exit(code)
