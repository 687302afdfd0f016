"""Builds the package with libvexal.so inside it.

The library comes from $VEXAL_LIBRARY when set; otherwise it is built from
the source tree around this directory with CMake (reusing ../build when it is
configured) and copied into the package, so that
``pip install --no-build-isolation ./python`` needs no package index.
"""
import os
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)


def cmake_build(build_dir):
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.check_call(["cmake", "-S", SOURCE, "-B", build_dir, *generator,
                               "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DVEXAL_BUILD_TESTS=OFF"])
    subprocess.check_call(["cmake", "--build", build_dir, "--target", "vexal", "-j", str(os.cpu_count() or 1)])
    return os.path.join(build_dir, "libvexal.so")


def find_library():
    given = os.environ.get("VEXAL_LIBRARY")
    if given:
        return given
    tree = os.path.join(SOURCE, "build")
    if os.path.exists(os.path.join(tree, "CMakeCache.txt")):
        return cmake_build(tree)
    return cmake_build(os.path.join(HERE, "build", "cmake"))


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        target = os.path.join(self.build_lib, "vexal", "libvexal.so")
        shutil.copyfile(os.path.realpath(find_library()), target)


class BinaryDistribution(Distribution):
    """The wheel carries a native library, so it is tagged for this platform."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=BinaryDistribution)
