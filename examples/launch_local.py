"""Start N processes of a JAX program on this machine, joined through a coordinator on 127.0.0.1.

    python examples/launch_local.py --num-processes 2 [--local-devices 1] \\
        [--timeout 600] -- --rows 100000 --sweeps 500

Everything after `--` goes to the program (examples/distributed_gibbs.py by
default, `--program` for another). Process i gets JAX_COORDINATOR_ADDRESS
(127.0.0.1 and a free port), JAX_NUM_PROCESSES and JAX_PROCESS_ID=i in its
environment, and, with --local-devices, XLA_FLAGS forcing that many CPU
devices. Each output line is prefixed with the process id; gloo's notices
that a process reached its peers are left out.

The launcher waits for all of them. If one fails, or the time limit passes,
it kills the others and exits with a message saying which process did what:
the exit status of the first failed process (128 + signal for a signal),
124 for the time limit. Each process runs in its own process group, and the
whole group is killed, so nothing it started is left behind; SIGTERM, SIGHUP
or Ctrl-C to the launcher kill them too, and on Linux so does the
launcher's own death, however it dies.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import os
import pathlib
import signal
import socket
import subprocess
import sys
import threading
import time

DEFAULT_PROGRAM = pathlib.Path(__file__).with_name("distributed_gibbs.py")
EXIT_TIMEOUT = 124


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def describe(status: int) -> str:
    if status < 0:
        try:
            return f"was killed by {signal.Signals(-status).name}"
        except ValueError:
            return f"was killed by signal {-status}"
    return f"exited with status {status}"


def is_chatter(line: str) -> bool:
    """Whether a line is gloo's notice that a process reached its peers.

    gloo (the CPU collectives between processes) writes one from C++ per
    process and group of processes, the first time they exchange anything;
    it says nothing a user can act on, and a failed connection is reported
    as an error, which this does not match.
    """
    return line.startswith("[Gloo] Rank ") and "is connected to" in line


def _forward(prefix: str, stream, sink) -> None:
    for line in iter(stream.readline, ""):
        if is_chatter(line):
            continue
        sink.write(prefix + line)
        sink.flush()
    stream.close()


def _kill_group(process: subprocess.Popen) -> None:
    # SIGKILL, not SIGTERM: JAX's preemption notifier catches SIGTERM in a
    # process that joined a distributed runtime, and the process runs on.
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(process.pid, signal.SIGKILL)


def _die_with_parent() -> None:
    """In the child: be killed when the launcher dies, even by SIGKILL.

    A launcher that is killed outright cannot clean up; without this its
    processes would run on, joined to each other, until their work ends.
    """
    if sys.platform.startswith("linux"):
        PR_SET_PDEATHSIG = 1
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def launch(
    command: list[str],
    num_processes: int,
    *,
    local_devices: int | None = None,
    timeout: float = 600.0,
    extra_env: dict[int, dict[str, str]] | None = None,
    sink=None,
) -> int:
    """Run `command` as processes 0..N-1 and return the launcher's exit status."""
    sink = sys.stdout if sink is None else sink
    address = f"127.0.0.1:{free_port()}"
    processes: list[subprocess.Popen] = []
    readers: list[threading.Thread] = []

    def stop_all() -> None:
        for process in processes:
            if process.poll() is None:
                _kill_group(process)
        for process in processes:
            process.wait()
            # The group may outlive its leader (children it started).
            _kill_group(process)
        for reader in readers:
            reader.join(timeout=5)

    def message(text: str) -> None:
        sink.write(f"launch_local: {text}\n")
        sink.flush()

    # A launcher told to stop must not leave its processes behind.
    previous = {}
    if threading.current_thread() is threading.main_thread():
        previous = {sig: signal.signal(sig, _interrupt) for sig in (signal.SIGTERM, signal.SIGHUP)}
    try:
        for rank in range(num_processes):
            env = {
                **os.environ,
                "JAX_COORDINATOR_ADDRESS": address,
                "JAX_NUM_PROCESSES": str(num_processes),
                "JAX_PROCESS_ID": str(rank),
                "PYTHONUNBUFFERED": "1",
            }
            if local_devices is not None:
                flags = [
                    flag
                    for flag in env.get("XLA_FLAGS", "").split()
                    if not flag.startswith("--xla_force_host_platform_device_count")
                ]
                flags.append(f"--xla_force_host_platform_device_count={local_devices}")
                env["XLA_FLAGS"] = " ".join(flags)
            env.update((extra_env or {}).get(rank, {}))
            process = subprocess.Popen(
                command,
                env=env,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT,
                text=True,
                process_group=0,  # killable as a group; same session, same CPU share
                preexec_fn=_die_with_parent,
            )
            processes.append(process)
        # The readers start once every process is forked: preexec_fn runs
        # between fork and exec, which is only safe with no other threads.
        for rank, process in enumerate(processes):
            reader = threading.Thread(
                target=_forward, args=(f"[{rank}] ", process.stdout, sink), daemon=True
            )
            reader.start()
            readers.append(reader)
        pids = [process.pid for process in processes]
        message(f"started {num_processes} processes (pids {pids}), coordinator {address}")

        deadline = time.monotonic() + timeout
        while True:
            statuses = [process.poll() for process in processes]
            failed = [(rank, s) for rank, s in enumerate(statuses) if s not in (None, 0)]
            if failed:
                rank, status = failed[0]
                running = [r for r, s in enumerate(statuses) if s is None]
                stop_all()
                message(
                    f"process {rank} {describe(status)}; "
                    + (f"killed processes {running}" if running else "no other process was running")
                )
                return 128 - status if status < 0 else status
            if all(s == 0 for s in statuses):
                for reader in readers:
                    reader.join(timeout=5)
                message(f"all {num_processes} processes finished")
                return 0
            if time.monotonic() > deadline:
                running = [r for r, s in enumerate(statuses) if s is None]
                stop_all()
                message(f"time limit of {timeout:g} s reached; killed processes {running}")
                return EXIT_TIMEOUT
            time.sleep(0.05)
    except KeyboardInterrupt:
        stop_all()
        message("interrupted; killed every process")
        return 130
    finally:
        stop_all()
        for sig, handler in previous.items():
            signal.signal(sig, handler)


def _env_assignment(text: str) -> tuple[int, str, str]:
    try:
        rank, assignment = text.split(":", 1)
        name, value = assignment.split("=", 1)
        return int(rank), name, value
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected RANK:NAME=VALUE, got {text!r}") from None


class _DefaultsFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """Shows each default, except where None stands for a rule the help states."""

    def _get_help_string(self, action):
        if action.default is None:
            return action.help
        return super()._get_help_string(action)


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    program_args: list[str] = []
    if "--" in argv:
        split = argv.index("--")
        argv, program_args = argv[:split], argv[split + 1 :]
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0], formatter_class=_DefaultsFormatter
    )
    parser.add_argument("--num-processes", "-n", type=int, default=2, help="processes to start")
    parser.add_argument("--local-devices", type=int, help="forced CPU devices per process")
    parser.add_argument("--timeout", type=float, default=600.0, help="seconds for the whole run")
    parser.add_argument("--program", default=str(DEFAULT_PROGRAM), help="Python script to run")
    parser.add_argument(
        "--env",
        type=_env_assignment,
        action="append",
        default=[],
        metavar="RANK:NAME=VALUE",
        help="an environment variable for one process only (repeatable)",
    )
    args = parser.parse_args(argv)
    if args.num_processes < 1:
        parser.error("--num-processes must be positive")
    extra: dict[int, dict[str, str]] = {}
    for rank, name, value in args.env:
        extra.setdefault(rank, {})[name] = value
    return launch(
        [sys.executable, args.program, *program_args],
        args.num_processes,
        local_devices=args.local_devices,
        timeout=args.timeout,
        extra_env=extra,
    )


if __name__ == "__main__":
    raise SystemExit(main())
