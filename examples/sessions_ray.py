"""Runs commands in live sessions on every host of a Ray cluster.

    python examples/sessions_ray.py [--address ADDRESS]   (as root on every host)

Each node of the cluster (a host) gets one actor, pinned to it with
NodeAffinitySchedulingStrategy. The actor owns a lumvex.PyUserPool, opens
sessions of it on its host and runs the commands it is sent in them, several
at once from threads; the driver sends every actor the commands and gathers
the results. With --address the program joins a running cluster (`ray start`
on each host, lumvex and ray installed there); without, it starts a local
cluster of a head and two worker nodes on this machine, three Ray nodes
standing in for three hosts, and shuts it down at the end.

Needs `pip install ray` besides lumvex.
"""

import argparse
import concurrent.futures
import itertools
import os
import socket
import subprocess
import sys

# A local cluster sends nothing anywhere; say so before Ray starts.
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")

import ray  # noqa: E402
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy  # noqa: E402

import lumvex  # noqa: E402

COMMANDS = ["id -un", "echo $((6 * 7)) >&2", "ls /root", "sleep 30"]
COMMAND_TIMEOUT = 3.0  # seconds for one command in a session
CLUSTER_TIMEOUT = 120.0  # seconds for any wait on the cluster


# The actor only waits for its sessions: it takes no CPU from Ray, so that
# it can be placed on any node (a head started with num_cpus=0 included).
@ray.remote(num_cpus=0)
class HostSessions:
    """`count` sessions of a pool of this host's accounts."""

    def __init__(self, count, memory):
        self.pool = lumvex.PyUserPool(memory=memory, network=False)
        self.sessions = []
        try:
            for _ in range(count):
                self.sessions.append(lumvex.PyTerminalSession(self.pool))
        except BaseException:
            self.close()
            raise
        self.node = ray.get_runtime_context().get_node_id()
        self.host = socket.gethostname()

    def run(self, commands, timeout):
        """Runs the commands in this host's sessions, all at once, and returns
        one dict per command, in order."""
        with concurrent.futures.ThreadPoolExecutor(len(commands) or 1) as executor:
            return list(
                executor.map(self._run, itertools.cycle(self.sessions), commands,
                             itertools.repeat(timeout))
            )

    def _run(self, session, command, timeout):
        result = {"node": self.node, "host": self.host, "user": session.user, "command": command}
        try:
            done = session.run(command, timeout=timeout)
            result.update(status=done.returncode, stdout=done.stdout, stderr=done.stderr)
        except subprocess.TimeoutExpired as error:
            result.update(status="timeout", stdout=error.stdout or b"", stderr=error.stderr or b"")
        return result

    def close(self):
        for session in self.sessions:
            session.close()


def run_everywhere(commands, sessions_per_host=2, memory=256 << 20, timeout=COMMAND_TIMEOUT):
    """Runs `commands` on every live node of the connected cluster; returns
    the results of all nodes, node by node."""
    nodes = sorted(node["NodeID"] for node in ray.nodes() if node["Alive"])
    actors = [
        HostSessions.options(
            scheduling_strategy=NodeAffinitySchedulingStrategy(node, soft=False)
        ).remote(sessions_per_host, memory)
        for node in nodes
    ]
    try:
        runs = [actor.run.remote(commands, timeout) for actor in actors]
        per_node = ray.get(runs, timeout=CLUSTER_TIMEOUT)
    finally:
        try:
            ray.get([actor.close.remote() for actor in actors], timeout=CLUSTER_TIMEOUT)
        finally:
            for actor in actors:
                ray.kill(actor)
    return [result for results in per_node for result in results]


def local_cluster():
    """A head and two worker nodes on this machine, each small."""
    from ray.cluster_utils import Cluster

    node = {"num_cpus": 1, "object_store_memory": 100 << 20, "include_dashboard": False}
    cluster = Cluster(initialize_head=True, head_node_args=node)
    try:
        for _ in range(2):
            cluster.add_node(**node)
        cluster.wait_for_nodes(timeout=CLUSTER_TIMEOUT)
    except BaseException:
        cluster.shutdown()
        raise
    return cluster


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", help="a running Ray cluster's address (default: a local one)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("sessions_ray.py needs root: it creates accounts and sessions.")
    cluster = None if args.address else local_cluster()
    try:
        ray.init(address=args.address or cluster.address, logging_level="WARNING")
        try:
            results = run_everywhere(COMMANDS)
        finally:
            ray.shutdown()
    finally:
        if cluster is not None:
            cluster.shutdown()
    for r in results:
        print(f"node {r['node'][:8]} ({r['host']}) {r['user']}: $ {r['command']} -> "
              f"{r['status']} {r['stdout']!r} {r['stderr']!r}")
    print(f"{len({r['node'] for r in results})} nodes, {len(results)} commands, "
          f"{len({(r['node'], r['user']) for r in results})} sessions")


if __name__ == "__main__":
    main()
