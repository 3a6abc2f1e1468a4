"""Compile-time accounting for the test runs (scripts/test.sh puts this
directory on PYTHONPATH together with VEXOL_TIMING_DIR; nothing happens
without the latter).

Every Python process of a run, the pytest workers and the processes tests
start, registers JAX's monitoring listeners as soon as `jax` is imported,
sums the durations of JAX's compile events per test (the test is read from
PYTEST_CURRENT_TEST, which pytest sets and subprocesses inherit) and, at
exit, writes them to VEXOL_TIMING_DIR/compile-<pid>.json, together with the
persistent cache's hits and misses and the process's CPU time. scripts/timing/report.py reads them.
Listeners only add numbers: they change no program and no result."""

import os
import sys

_DIR = os.environ.get("VEXOL_TIMING_DIR")

if _DIR:
    import atexit
    import contextlib
    import importlib.abc
    import importlib.machinery
    import json
    import resource

    _COMPILE_EVENTS = {
        "/jax/core/compile/backend_compile_duration": "backend",
        "/jax/core/compile/jaxpr_trace_duration": "trace",
        "/jax/core/compile/jaxpr_to_mlir_module_duration": "lower",
    }
    _COUNTED_EVENTS = {
        "/jax/compilation_cache/cache_hits": "hits",
        "/jax/compilation_cache/cache_misses": "misses",
    }
    _totals = {}

    def _bucket():
        test = os.environ.get("PYTEST_CURRENT_TEST", "")
        test = test.rsplit(" (", 1)[0]  # drop " (setup)", " (call)", " (teardown)"
        return _totals.setdefault(test, {})

    def _on_duration(event, seconds, **_):
        kind = _COMPILE_EVENTS.get(event)
        if kind:
            b = _bucket()
            b[kind] = b.get(kind, 0.0) + seconds

    def _on_event(event, **_):
        kind = _COUNTED_EVENTS.get(event)
        if kind:
            b = _bucket()
            b[kind] = b.get(kind, 0) + 1

    def _write():
        # CPU seconds of this process too: on a busy machine they say more
        # than wall time about what a run costs.
        usage = resource.getrusage(resource.RUSAGE_SELF)
        record = {
            "pid": os.getpid(),
            "argv": sys.argv[:2],
            "cpu": usage.ru_utime + usage.ru_stime,
            "tests": _totals,
        }
        try:
            os.makedirs(_DIR, exist_ok=True)
            with open(os.path.join(_DIR, f"compile-{os.getpid()}.json"), "w") as f:
                json.dump(record, f)
        except OSError:
            pass

    vexol_timing_flush = _write

    def _register():
        import jax.monitoring

        jax.monitoring.register_event_duration_secs_listener(_on_duration)
        jax.monitoring.register_event_listener(_on_event)
        atexit.register(_write)

    class _AfterJaxImport(importlib.abc.MetaPathFinder):
        """Runs _register once `jax` itself has been imported."""

        def find_spec(self, name, path=None, target=None):
            if name != "jax":
                return None
            sys.meta_path.remove(self)
            found = importlib.machinery.PathFinder.find_spec(name, path)
            if found is None or found.loader is None:
                return found
            exec_module = found.loader.exec_module

            def exec_then_register(module):
                exec_module(module)
                with contextlib.suppress(Exception):  # accounting never breaks a test
                    _register()

            found.loader.exec_module = exec_then_register
            return found

    sys.meta_path.insert(0, _AfterJaxImport())
