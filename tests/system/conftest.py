import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))

from device import Device  # noqa: E402


def pytest_collection_modifyitems(config, items):
    # Devices need mount namespaces and chroot.
    if os.geteuid() != 0:
        skip = pytest.mark.skip(reason="system tests need root")
        for item in items:
            item.add_marker(skip)


@pytest.fixture
def device():
    """A fresh simulated device, removed after the test."""
    with Device() as dev:
        yield dev


@pytest.fixture
def make_device():
    """Factory for extra devices in one test (each removed after the test)."""
    made = []

    def make(**kwargs):
        dev = Device(**kwargs)
        made.append(dev)
        return dev

    yield make
    for dev in made:
        dev.cleanup()
