"""Fixtures of the end-to-end tests: the built programs, a simulated camera
mounted for each case (and unmounted after it), and a runner of ccdshot that
captures standard output, standard error and descriptor 3.

The build and source directories come from --build-dir / --source-dir (CTest
passes them), else from CCDSHOT_BINARY_DIR / CCDSHOT_SOURCE_DIR, else the
source tree's build/ directory.
"""
import dataclasses
import os
import pathlib

import pytest

from support import Simulator, fuse_missing, run
from simulator import report_all_skipped  # put on the path by support

HERE = pathlib.Path(__file__).resolve().parent


def pytest_addoption(parser):
    parser.addoption("--build-dir", default=os.environ.get("CCDSHOT_BINARY_DIR"),
                     help="build tree holding ccdshot and ccdsim")
    parser.addoption("--source-dir", default=os.environ.get("CCDSHOT_SOURCE_DIR"),
                     help="source tree (holds quickstart, doc/)")


def pytest_sessionfinish(session, exitstatus):
    report_all_skipped(session, exitstatus)


@dataclasses.dataclass
class Tree:
    source: pathlib.Path
    build: pathlib.Path

    @property
    def ccdshot(self):
        return self.build / "ccdshot"

    @property
    def ccdsim(self):
        return self.build / "ccdsim"


@pytest.fixture(scope="session")
def tree(request):
    source = request.config.getoption("--source-dir") or HERE.parent.parent
    build = request.config.getoption("--build-dir") or pathlib.Path(source) / "build"
    result = Tree(pathlib.Path(source).resolve(), pathlib.Path(build).resolve())
    for program in (result.ccdshot, result.ccdsim):
        if not os.access(program, os.X_OK):
            pytest.fail(f"{program} is not built")
    return result


@pytest.fixture
def start_sim(tree):
    """start_sim(*options, world=False): a mounted simulator, stopped after the case."""
    reason = fuse_missing()
    if reason is not None:
        pytest.skip(reason)
    started = []

    def start(*options, world=False):
        sim = Simulator(tree, list(options), world=world)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


@pytest.fixture
def sim(start_sim):
    """The usual camera: a 1000 x 800 sensor with the ramp pattern, no waiting."""
    return start_sim("--width=1000", "--height=800", "--pattern=ramp", "--time-scale=0")


@pytest.fixture
def shot(tree, tmp_path):
    """shot(*args, **options): runs the built ccdshot (in tmp_path by default)."""

    def call(*args, cwd=None, **options):
        return run(tree.ccdshot, [str(a) for a in args], cwd=cwd or tmp_path, **options)

    return call
