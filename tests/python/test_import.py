import importlib
import sys


def test_module_imports_from_installed_package():
    mod = importlib.import_module("ventra.sandbox._native")
    assert mod.__name__ == "ventra.sandbox._native"
    # The module under test is the installed one, never the source tree.
    assert "site-packages" in mod.__file__ or "dist-packages" in mod.__file__
    assert mod.__file__.endswith(".abi3.so")


def test_ventra_is_a_namespace_package():
    import ventra

    assert not hasattr(ventra, "__file__") or ventra.__file__ is None
    assert "ventra.sandbox" in sys.modules or importlib.import_module("ventra.sandbox")
