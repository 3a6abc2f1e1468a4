"""Loading an example script as a module, for the tests that call its
functions: the examples are scripts in examples/, not a package, and import
their siblings by name."""

import importlib.util
import pathlib
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def load_example(name, file):
    sys.path.insert(0, str(EXAMPLES))
    try:
        found = importlib.util.spec_from_file_location(name, EXAMPLES / file)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
    finally:
        sys.path.remove(str(EXAMPLES))
    return module
