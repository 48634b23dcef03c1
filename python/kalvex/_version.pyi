# Written by the build from pyproject.toml (see CMakeLists.txt).
__version__: str
