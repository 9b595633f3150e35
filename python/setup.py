# The package's version is the project's, from the VERSION file beside this folder.
import pathlib

from setuptools import setup

setup(version=(pathlib.Path(__file__).resolve().parent.parent / "VERSION").read_text().strip())
