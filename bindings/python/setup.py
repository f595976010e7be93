"""The wheel carries the native libraries, which suit any Python 3 on the
platform it was built for: it is a platform wheel (py3-none-<platform>),
not a pure-Python one, though it has no extension module."""
import os

from setuptools import Distribution, setup

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1
    from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARIES = ("libVandryInterface.so.1", "libVandryStream.so.1", "VandryInterface.dll", "VandryStream.dll")


def carries_library():
    return any(os.path.exists(os.path.join(HERE, "vandry_interface", name)) for name in LIBRARIES)


class LibraryDistribution(Distribution):
    def has_ext_modules(self):
        return carries_library()


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        python, abi, platform = super().get_tag()
        return ("py3", "none", platform) if carries_library() else (python, abi, platform)


if not os.path.exists(os.path.join(HERE, "vandry_interface", "_version.py")):
    raise SystemExit(f"{HERE} is the binding's source folder, which the CMake build completes (the library and its "
                     "version): build the wheel with scripts/build-wheel.sh BUILD_DIR, or pip install "
                     "BUILD_DIR/python")

setup(distclass=LibraryDistribution, cmdclass={"bdist_wheel": PlatformWheel})
