"""Fixtures shared by the Python tests."""

import pytest


@pytest.fixture
def fault_reports(capfd):
    """Descriptor-level capture for a test that provokes internal faults: the
    reports they write to standard error stay out of a passing run's output,
    whatever the run's own capture mode (see pytest_runtest_call). A test reads
    them with fault_reports.readouterr()."""
    return capfd


@pytest.hookimpl(hookwrapper=True, trylast=True)
def pytest_runtest_call(item):
    # Unread captured output is written out when the test's call ends, so it
    # is dropped here for a test that passed; a failing one still shows it.
    outcome = yield
    reports = getattr(item, "funcargs", {}).get("fault_reports")
    if reports is not None and outcome.excinfo is None:
        reports.readouterr()
