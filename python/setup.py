# setup.cfg describes the package and pyproject.toml names its build
# backend; this file only lets an old pip that knows neither build it.
from setuptools import setup

setup()
