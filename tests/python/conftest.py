"""Shared pytest set-up.

With LUMVEX_NO_SKIPS set (the test command sets it under CI), a skipped test
fails instead: a suite that cannot run must not pass unnoticed.
"""

import fcntl
import os

import pytest

try:
    from hypothesis import Phase, settings
except ImportError:  # the suites that need it say so
    pass
else:
    # scripts/mutate.py runs the suites with --hypothesis-profile=mutate: a
    # failing example is reported as found, not shrunk (which can take
    # minutes when a planted fault is found).
    settings.register_profile("mutate", phases=[Phase.explicit, Phase.reuse, Phase.generate])


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if os.environ.get("LUMVEX_NO_SKIPS") and report.skipped and not hasattr(report, "wasxfail"):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
        report.outcome = "failed"
        report.longrepr = f"skipped in a run that allows no skips: {reason}"


@pytest.fixture
def host_lock():
    """Serialises work under /tmp/tmp_user_home with the C++ suites."""
    with open("/tmp/lumvex_pool_tests.lock", "a+") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield
        fcntl.flock(lock, fcntl.LOCK_UN)
