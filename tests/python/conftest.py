# Puts the built extension first on sys.path: $PEN_BUILD_DIR, or build/ of this checkout.
import os
import sys

BUILD_DIR = os.path.abspath(
    os.environ.get("PEN_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
)
if BUILD_DIR not in sys.path:
    sys.path.insert(0, BUILD_DIR)
# The pure-Python package py_engine_native_env from this checkout, after the built module.
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
if ROOT not in sys.path:
    sys.path.insert(1, ROOT)
