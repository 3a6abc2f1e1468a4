"""The docstrings' examples run, and every public name has them.

The examples are doctests of the installed package, run in a fresh
process with JAX's defaults (x64 off, as a user's first session has it;
the suite's own processes switch it on).
"""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
import textwrap

import pytest

# Runs every Examples block of the public names of the three namespaces and
# the namespaces' own docstrings; prints "attempted N failed F" last.
RUNNER = textwrap.dedent(
    r"""
    import doctest, importlib, inspect, sys
    names = sys.argv[1:]
    finder = doctest.DocTestFinder(recurse=False)
    runner = doctest.DocTestRunner(
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    for module_name in ("vexol", "vexol.numpyro", "vexol.gibbs"):
        module = importlib.import_module(module_name)
        objects = [(module_name, module)]
        objects += [(f"{module_name}.{n}", getattr(module, n)) for n in module.__all__]
        for qualified, obj in objects:
            if names and qualified not in names:
                continue
            if not (inspect.ismodule(obj) or inspect.isroutine(obj) or inspect.isclass(obj)):
                continue
            for test in finder.find(obj, qualified, globs={}):
                runner.run(test)
    # Constants document themselves in "#:" comments (Sphinx's attribute
    # docs), which DocTestFinder does not see.
    import re, vexol
    parser = doctest.DocTestParser()
    source = inspect.getsource(vexol)
    for block, name in re.findall(r"((?:^#:.*\n)+)(\w+) = ", source, re.M):
        qualified = f"vexol.{name}"
        if names and qualified not in names:
            continue
        text = "\n".join(line[3:] for line in block.splitlines())
        runner.run(parser.get_doctest(text, {}, qualified, vexol.__file__, 0))
    results = runner.summarize(verbose=False)
    print(f"attempted {results.attempted} failed {results.failed}")
    """
)


def run_examples(*names: str) -> tuple[int, int, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("JAX_")}
    env["MPLBACKEND"] = "Agg"
    done = subprocess.run(
        [sys.executable, "-c", RUNNER, *names],
        capture_output=True,
        text=True,
        env=env,
        cwd=os.path.dirname(os.path.abspath(__file__)),
        timeout=900,
    )
    last = done.stdout.strip().splitlines()[-1] if done.stdout.strip() else ""
    if not last.startswith("attempted "):
        pytest.fail(f"the doctest runner did not finish:\n{done.stdout}\n{done.stderr}")
    _, attempted, _, failed = last.split()
    return int(attempted), int(failed), done.stdout


def public_names():
    import vexol
    import vexol.gibbs

    modules = [vexol, vexol.gibbs]
    # vexol.numpyro needs the numpyro extra (absent from the oldest-JAX
    # environment).
    if importlib.util.find_spec("numpyro") is not None:
        import vexol.numpyro

        modules.append(vexol.numpyro)
    for module in modules:
        for name in module.__all__:
            yield module, name, getattr(module, name)


def test_every_public_function_and_class_has_an_examples_section():
    missing = []
    for module, name, obj in public_names():
        if callable(obj):
            doc = obj.__doc__ or ""
            if "\nExamples:" not in doc and "\n    Examples:" not in doc:
                missing.append(f"{module.__name__}.{name}")
    assert not missing, f"no Examples section: {missing}"


def test_docstring_examples_run():
    # The examples of vexol.numpyro, of vexol.gibbs' diagnostics and kernels
    # use the optional extras, as a user of those names has them installed.
    for extra in ("numpyro", "arviz", "blackjax"):
        pytest.importorskip(extra, reason=f"the docstrings' examples use the {extra} extra")
    attempted, failed, output = run_examples()
    assert failed == 0, output
    # Every public function and class contributes at least one example.
    callables = sum(1 for _, _, obj in public_names() if callable(obj))
    assert attempted >= callables, output
