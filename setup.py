"""Packaging: `pip install .` builds the extension with CMake and installs an abi3 wheel.

There is deliberately no pyproject.toml: with one, pip builds in an isolated environment and
downloads setuptools first, which fails on a machine without access to PyPI. Without it,
pip (23.x) runs this file with the setuptools and wheel already installed (Debian's
python3-setuptools and python3-wheel), so the install works offline.

The wheel holds the module py_engine_native.abi3.so and its type stub py_engine_native.pyi at
the top of site-packages, and the same stub as the stub-only package py_engine_native-stubs
(no py.typed marker: PEP 561 markers belong to packages, and a stub-only package needs none). The module is built against the stable ABI of
CPython 3.10, so the wheel is tagged cp310-abi3 and installs on every CPython from 3.10 on.

Beside the module the wheel installs the pure-Python package py_engine_native_env (every module
of its folder, and py.typed) with the reference UI in py_engine_native_env/ui/: the headless
runner, the page, their sources and the runner's one Node dependency, the ws package, taken
from ui/node_modules (`npm ci --prefix ui`, run here when it is missing). A user then needs
only Node to run the UI.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py
from setuptools.command.sdist import sdist

HERE = os.path.dirname(os.path.abspath(__file__))
MODULE = "py_engine_native"
STUB = MODULE + ".pyi"
PACKAGE = "py_engine_native_env"
UI = os.path.join(HERE, "ui")
# The version is written once, in CMakeLists.txt's project() line.
with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as cmake:
    VERSION = re.search(r"project\(py_engine_native VERSION ([0-9.]+)", cmake.read())[1]
# The files of ui/ that the headless runner and the page need (tests and docs stay behind):
# the wheel ships them, and the source distribution carries them with the lock file that
# `npm ci` needs (MANIFEST.in lists the rest).
UI_FILES = ["package.json", "node-version.cjs", "headless.mjs", "serve.mjs", "browser.mjs",
            "index.html", "style.css", "src/*.js"]
UI_SDIST_FILES = UI_FILES + ["package-lock.json"]


def ui_files(patterns):
    """The paths of ui/ that the glob patterns name."""
    return [path for pattern in patterns for path in sorted(glob.glob(os.path.join(UI, pattern)))]


def ws_package(scratch):
    """ui/node_modules/ws, installed with npm (production dependencies only) when missing."""
    ws = os.path.join(UI, "node_modules", "ws")
    if os.path.isfile(os.path.join(ws, "package.json")):
        return ws
    if shutil.which("npm") is None:
        sys.exit("the wheel ships the UI's Node package ws: run `npm ci --prefix ui` first, "
                 "or install npm (Debian: apt install npm)")
    for name in ("package.json", "package-lock.json"):
        shutil.copy(os.path.join(UI, name), scratch)
    subprocess.run(["npm", "ci", "--omit=dev", "--ignore-scripts", "--no-audit", "--no-fund",
                    "--prefix", scratch], check=True)
    return os.path.join(scratch, "node_modules", "ws")


class BuildPy(build_py):
    """Builds the package, then copies the reference UI into it."""

    def run(self):
        super().run()
        target = os.path.join(self.build_lib, PACKAGE, "ui")
        shutil.rmtree(target, ignore_errors=True)
        for path in ui_files(UI_FILES):
            dest = os.path.join(target, os.path.relpath(path, UI))
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            shutil.copyfile(path, dest)
        with tempfile.TemporaryDirectory() as scratch:
            shutil.copytree(ws_package(scratch), os.path.join(target, "node_modules", "ws"))


class Sdist(sdist):
    """The source distribution: MANIFEST.in's files and the reference UI's."""

    def add_defaults(self):
        super().add_defaults()
        self.filelist.extend(os.path.relpath(path, HERE) for path in ui_files(UI_SDIST_FILES))


class CMakeBuild(build_ext):
    """Builds the module with the project's own CMakeLists (module only: no tests, no benches)."""

    def build_extension(self, ext):
        if shutil.which("cmake") is None:
            sys.exit("cmake is required to build py_engine_native (Debian: apt install cmake g++)")
        cmake_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        configure = [
            "cmake", "-S", HERE, "-B", cmake_dir,
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DPEN_BUILD_TESTS=OFF",
            "-DPEN_BUILD_BENCH=OFF",
        ]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        build = ["cmake", "--build", cmake_dir, "--target", MODULE, "-j", jobs]
        for command in (configure, build):
            subprocess.run(command, check=True)

        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(cmake_dir, MODULE + ".abi3.so"), target)
        # The stub travels next to the module, where editors and pyright look for it. mypy
        # reads stubs from site-packages only as a PEP 561 package, hence also MODULE-stubs/.
        site = os.path.dirname(target)
        os.makedirs(os.path.join(site, MODULE + "-stubs"), exist_ok=True)
        for path in (STUB, os.path.join(MODULE + "-stubs", "__init__.pyi")):
            shutil.copyfile(os.path.join(HERE, STUB), os.path.join(site, path))


setup(
    name=MODULE,
    version=VERSION,
    description="WebSocket engine through which a Python RL loop drives a browser trading UI",
    long_description=open(os.path.join(HERE, "README.md"), encoding="utf-8").read(),
    long_description_content_type="text/markdown",
    python_requires=">=3.10",
    install_requires=["numpy"],
    # py_limited_api makes setuptools name the file *.abi3.so; bdist_wheel then tags cp310-abi3.
    ext_modules=[Extension(MODULE, sources=[], py_limited_api=True)],
    packages=[PACKAGE],
    package_data={PACKAGE: ["py.typed"]},
    cmdclass={"build_ext": CMakeBuild, "build_py": BuildPy, "sdist": Sdist},
    options={
        "bdist_wheel": {"py_limited_api": "cp310"},
        # build/ is the CMake tree of scripts/build.sh; keep setuptools' own files apart.
        "build": {"build_base": "build-wheel"},
    },
    zip_safe=False,
)
