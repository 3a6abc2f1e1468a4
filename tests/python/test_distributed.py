"""The distributed Gibbs example across JAX processes on 127.0.0.1.

The chain must be a function of the seed, the data and the number of shards
only: the same bits whatever the split of the shards over processes. And
nothing may hang: a process that cannot reach the coordinator, a process
that dies, or processes that disagree on 64-bit mode all end within a time
limit, with every process started here killed at the end of its test.
"""

import contextlib
import json
import os
import pathlib
import re
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples/distributed_gibbs.py"
LAUNCHER = ROOT / "examples/launch_local.py"

# 1001 rows do not divide by 2 or 4 shards: the padding is exercised too.
CHAIN = [
    "--rows", "1001", "--features", "3", "--sweeps", "30", "--block", "10",
    "--seed", "5", "--data-seed", "2", "--save-omega", "0,1,-1",
]  # fmt: skip
LONG_CHAIN = ["--rows", "1001", "--features", "3", "--sweeps", "100000000", "--block", "20"]
RUN_LIMIT = 60  # seconds for any one run


def clean_env(**extra):
    """This environment without settings that would join another runtime,
    and without JAX's persistent compilation cache, which the test command
    turns on: with it, the pairs of processes running a long chain stalled
    before their 20th sweep once earlier runs had filled the cache (jax
    0.12.1), and these tests are about processes, not compiling."""
    env = {
        name: value
        for name, value in os.environ.items()
        if not name.startswith(
            (
                "JAX_COORDINATOR",
                "JAX_NUM_PROCESSES",
                "JAX_PROCESS_ID",
                "JAX_COMPILATION_CACHE",
                "JAX_PERSISTENT_CACHE",
            )
        )
        and name not in ("JAX_ENABLE_X64", "XLA_FLAGS")
    }
    env["PYTHONUNBUFFERED"] = "1"
    env.update(extra)
    return env


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Processes:
    """Processes started by one test, each in its own group, all killed at teardown."""

    def __init__(self, directory):
        self.directory = directory
        self.started = []
        self.groups = []  # started by a launcher started here

    def launched_pids(self, launcher):
        """The pids of the processes `launcher` started, killed at teardown too."""
        self.wait_for(launcher, r"pids \[")
        pids = json.loads(re.search(r"pids (\[[\d, ]+\])", self.output(launcher)).group(1))
        self.groups.extend(pids)
        return pids

    def start(self, args, name, env=None):
        log = open(self.directory / f"{name}.log", "w+")  # noqa: SIM115 (closed at teardown)
        process = subprocess.Popen(
            [sys.executable, *map(str, args)],
            env=clean_env() if env is None else env,
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=subprocess.STDOUT,
            text=True,
            start_new_session=True,
        )
        process.log = log
        self.started.append(process)
        return process

    @staticmethod
    def output(process):
        process.log.flush()
        return pathlib.Path(process.log.name).read_text()

    def wait_for(self, process, pattern, limit=RUN_LIMIT):
        """Wait until the output of `process` matches `pattern`; fail on exit or time-out."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if re.search(pattern, self.output(process), re.MULTILINE):
                return
            if process.poll() is not None:
                pytest.fail(
                    f"exited ({process.returncode}) before {pattern!r}:\n{self.output(process)}"
                )
            time.sleep(0.1)
        pytest.fail(f"no {pattern!r} within {limit} s:\n{self.output(process)}")

    def kill_all(self):
        for group in self.groups:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(group, signal.SIGKILL)
        for process in self.started:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            process.log.close()


@pytest.fixture
def processes(tmp_path):
    started = Processes(tmp_path)
    yield started
    started.kill_all()


def wait_exit(process, limit):
    """Seconds until `process` exits; fails (the fixture then kills it) after `limit`."""
    start = time.monotonic()
    try:
        process.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        pytest.fail(f"still running after {limit} s")
    return time.monotonic() - start


# --------------------------------------------------------------------------
# Same chain, bit for bit, for every process layout of a mesh
# --------------------------------------------------------------------------


def run_layout(directory, processes, devices):
    """The arrays of the chain run as `processes` processes of `devices` devices each."""
    output = directory / f"chain_{processes}x{devices}.npz"
    if processes == 1:
        command = [EXAMPLE, "--num-processes", "1", "--local-devices", devices]
    else:
        command = [
            LAUNCHER,
            "-n",
            processes,
            "--local-devices",
            devices,
            "--timeout",
            RUN_LIMIT,
            "--",
        ]
    command = [sys.executable, *map(str, command), *CHAIN, "--output", str(output)]
    done = subprocess.run(
        command,
        env=clean_env(),
        capture_output=True,
        text=True,
        timeout=RUN_LIMIT + 10,
        start_new_session=True,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    with np.load(output) as data:
        return {name: data[name] for name in data.files}


@pytest.fixture(scope="module")
def layouts(tmp_path_factory):
    """layouts(processes, devices) -> arrays of that run; each layout runs once per module."""
    directory = tmp_path_factory.mktemp("layouts")
    runs = {}

    def get(processes, devices):
        if (processes, devices) not in runs:
            runs[(processes, devices)] = run_layout(directory, processes, devices)
        return runs[(processes, devices)]

    return get


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


@pytest.mark.parametrize(
    "shards, layouts_of_mesh",
    [(2, [(1, 2), (2, 1)]), (4, [(1, 4), (2, 2), (4, 1)])],
    ids=["2 shards", "4 shards"],
)
def test_every_process_layout_gives_the_same_chain(layouts, shards, layouts_of_mesh):
    runs = {layout: layouts(*layout) for layout in layouts_of_mesh}
    reference = runs[layouts_of_mesh[0]]
    assert reference["omega"].shape == (3, shards, -(-1001 // shards))
    assert list(reference["omega_sweeps"]) == [0, 1, 29]
    assert reference["beta"].shape == (30, 4)
    for layout, run in runs.items():
        assert int(run["processes"]) == layout[0] and int(run["shards"]) == shards
        assert same_bits(run["beta"], reference["beta"]), layout
        assert same_bits(run["omega"], reference["omega"]), layout


def test_each_shard_draws_with_vexol_from_its_own_key(layouts):
    import jax

    jax.config.update("jax_enable_x64", True)
    import vexol

    sys.path.insert(0, str(EXAMPLE.parent))
    from distributed_gibbs import synthetic_rows, true_coefficients

    run = layouts(2, 1)
    shards, per_shard = run["omega"].shape[1:]
    X, _ = synthetic_rows(2, 3, 0, 1001)
    X = np.concatenate([X, np.zeros((shards * per_shard - 1001, 4))])
    key = jax.random.key(5)
    previous = {0: np.zeros(4), 1: run["beta"][0]}
    for slot, sweep in enumerate((0, 1)):
        omega_key, _ = jax.random.split(jax.random.fold_in(key, sweep))
        for shard in range(shards):
            rows = X[shard * per_shard : (shard + 1) * per_shard]
            seed = vexol.seed_from_key(jax.random.fold_in(omega_key, shard))
            expected = np.asarray(vexol.sample(1.0, rows @ previous[sweep], seed))
            drawn = run["omega"][slot, shard]
            if sweep == 0:  # zero tilts: no rounding anywhere, the same bits
                assert same_bits(drawn, expected)
            else:  # X b in numpy and in XLA may differ in the last bits
                np.testing.assert_allclose(drawn, expected, rtol=1e-9)
    # And the chain is a posterior for the data: each coefficient's mean
    # after warm-up lies within 4 posterior sd of the coefficient used to
    # draw the labels.
    kept = run["beta"][6:]
    truth = true_coefficients(2, 3)
    assert np.all(np.abs(kept.mean(axis=0) - truth) < 4 * kept.std(axis=0)), (kept.mean(0), truth)
    # A different shard count is a different chain (the keys are per shard).
    assert not np.array_equal(layouts(1, 4)["beta"], run["beta"])


# --------------------------------------------------------------------------
# Nothing hangs
# --------------------------------------------------------------------------


def test_unreachable_coordinator_is_reported_in_bounded_time(processes):
    address = f"127.0.0.1:{free_port()}"  # nothing listens there
    args = ["--coordinator-address", address, "--num-processes", "2", "--process-id", "1"]
    worker = processes.start([EXAMPLE, *args, "--init-timeout", "2", *CHAIN], "worker")
    assert wait_exit(worker, 30) < 30
    assert worker.returncode == 3, processes.output(worker)
    assert f"cannot reach the coordinator at {address} within 2 s" in processes.output(worker)


def start_pair(processes, *extra, env1=None, extra1=(), heartbeat=3):
    """Processes 0 and 1 of a run; process 1 gets `env1` and `extra1` on top."""
    address = f"127.0.0.1:{free_port()}"
    common = ["--coordinator-address", address, "--num-processes", "2"]
    common += ["--init-timeout", "30", "--heartbeat-timeout", str(heartbeat), *extra]
    first = processes.start([EXAMPLE, *common, "--process-id", "0"], "p0")
    second = processes.start([EXAMPLE, *common, "--process-id", "1", *extra1], "p1", env=env1)
    return first, second


@pytest.mark.parametrize("victim", [0, 1], ids=["coordinator killed", "worker killed"])
def test_a_killed_process_stops_the_other_within_the_heartbeat_limit(processes, victim):
    pair = start_pair(processes, *LONG_CHAIN, heartbeat=3)
    processes.wait_for(pair[0], r"^\s+20/")  # both are inside the chain
    os.killpg(pair[victim].pid, signal.SIGKILL)
    other = pair[1 - victim]
    # The runtime notices the silence after the 3 s heartbeat limit.
    assert wait_exit(other, 25) < 25
    assert other.returncode != 0


def test_launcher_kills_the_others_when_one_dies(processes):
    args = [LAUNCHER, "-n", "2", "--timeout", RUN_LIMIT, "--", *LONG_CHAIN]
    # A heartbeat limit longer than the wait below: only the launcher can
    # stop the survivor in time.
    launcher = processes.start([*args, "--heartbeat-timeout", "100"], "launcher")
    pids = processes.launched_pids(launcher)
    processes.wait_for(launcher, r"^\[0\]\s+20/")
    os.killpg(pids[1], signal.SIGKILL)
    assert wait_exit(launcher, 15) < 15
    assert launcher.returncode == 128 + signal.SIGKILL
    assert "process 1 was killed by SIGKILL; killed processes [0]" in processes.output(launcher)
    for pid in pids:  # reaped and gone, with their groups
        with pytest.raises(ProcessLookupError):
            os.killpg(pid, 0)


def gone(pid, limit=10):
    """Whether process group `pid` disappears within `limit` seconds."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            os.killpg(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.1)
    return False


@pytest.mark.parametrize("ending", ["time limit", "launcher killed"])
def test_no_process_outlives_the_launcher(processes, ending):
    launcher = processes.start(
        [LAUNCHER, "-n", "2", "--timeout", "4", "--", *LONG_CHAIN], "launcher"
    )
    pids = processes.launched_pids(launcher)
    if ending == "launcher killed":
        os.killpg(launcher.pid, signal.SIGKILL)  # no chance to clean up
    assert wait_exit(launcher, 20) < 20
    if ending == "time limit":
        out = processes.output(launcher)
        assert launcher.returncode == 124, out
        assert "time limit of 4 s reached; killed processes [0, 1]" in out
    assert all(gone(pid) for pid in pids)


@pytest.mark.parametrize(
    "difference, message",
    [
        ("x64", "jax_enable_x64) differs between processes: on in processes [0], off in [1]"),
        ("seed", "processes [1] were started with other settings than process 0"),
    ],
    ids=["x64 off in one", "another seed in one"],
)
def test_processes_that_disagree_are_refused_by_every_process(processes, difference, message):
    if difference == "x64":
        pair = start_pair(processes, *CHAIN, env1=clean_env(JAX_ENABLE_X64="0"), heartbeat=10)
    else:  # the last --seed wins
        pair = start_pair(processes, *CHAIN, extra1=["--seed", "6"], heartbeat=10)
    for process in pair:
        assert wait_exit(process, 40) < 40
    for process in pair:
        out = processes.output(process)
        assert process.returncode == 3, out
        assert message in out
