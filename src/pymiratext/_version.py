"""The version of pymiratext: the one place it is set.

The package metadata (pyproject.toml) and the build of the compiled extension
(CMakeLists.txt) read it from this file, so keep the line's form:
__version__ = "X.Y.Z".
"""

__version__ = "0.4.1"
