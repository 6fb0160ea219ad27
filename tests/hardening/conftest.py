"""pytest hooks of the hardening tests."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "common"))
from simulator import report_all_skipped  # noqa: E402


def pytest_sessionfinish(session, exitstatus):
    report_all_skipped(session, exitstatus)
