"""Build hook: puts a copy of the shared library inside the package, so an
installed lumsdk finds it without any setting.

The copy comes from LUMSDK_LIBRARY when set at install time, else from the
repository's release build (build/linux/bin, or build/windows/bin on
Windows) when there is one. Without either, the package is built without a
copy and looks for the library at run time (see lumsdk/_library.py).
Everything else is declared in pyproject.toml.
"""

import os
import shutil
import sys
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
if sys.platform == "win32":
    FILE, PRESET = "LUMSDK.x64_2012.dll", "windows"
else:
    FILE, PRESET = "libLUMSDK.so", "linux"


def library_to_bundle():
    chosen = os.environ.get("LUMSDK_LIBRARY")
    if chosen:
        path = Path(chosen)
        if not path.is_file():
            raise SystemExit(f"LUMSDK_LIBRARY={chosen}: no such file")
        return path
    built = HERE.parent / "build" / PRESET / "bin" / FILE
    return built if built.is_file() else None


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        library = library_to_bundle()
        if library is None:
            print(f"lumsdk: no {FILE} to put in the package (set LUMSDK_LIBRARY to bundle one); "
                  "it will be looked for at run time")
            return
        target = Path(self.build_lib) / "lumsdk" / "_lib"
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy2(library, target / FILE)
        print(f"lumsdk: bundled {library}")


class MaybeBinaryDistribution(Distribution):
    # A wheel that carries the library is tagged for this platform.
    def has_ext_modules(self):
        return library_to_bundle() is not None


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=MaybeBinaryDistribution)
