"""kvc: Python DB-API 2.0 driver for the vavovadezar server, over libkvc.

Plain setuptools, so that `pip install ./python` builds offline with Debian's
pip and setuptools. The C accelerator is optional: without a compiler or
Python headers the package installs without it."""

from setuptools import Extension, setup

setup(
    name="kvc",
    version="1.0.0",
    description="Python DB-API 2.0 driver for the vavovadezar database server, over libkvc",
    python_requires=">=3.10",
    packages=["kvc"],
    ext_modules=[Extension("_kvc_speedups", sources=["_kvc_speedups.c"], optional=True)],
)
