# Written by CMake from project(VERSION) in the top-level CMakeLists.txt;
# edit the version there.
__version__ = "20.0.0"
