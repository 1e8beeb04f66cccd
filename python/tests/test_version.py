"""The package's version and the library's come from one project version."""

import kavrol
from kavrol import _library


def test_package_version_major_is_what_the_library_reports():
    major = int(kavrol.__version__.split(".")[0])
    assert major == _library.library().Get_Version()
