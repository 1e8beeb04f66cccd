# Only setup.cfg describes the package. There is no pyproject.toml on
# purpose: without one, pip builds with the system's setuptools and wheel in
# place instead of downloading them into an isolated build environment, so
# `pip install ./python` works offline.
from setuptools import setup

setup()
