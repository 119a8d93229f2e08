"""What the tests share: the simulated instrument on a loopback address of each test's own
(its command port is fixed at 5300), and a stream set up through RemoteControl as an
application would."""

import itertools

import numpy as np
import pytest

import vita49
from vita49.simulator import Simulator, find_simulator

# Tone of the simulated instrument: +CBW/8 from the centre, amplitude 0.5; with oversampling
# the sample rate is CBW x 1.25, so the tone turns by 2 pi x 0.1 per sample.
TONE_CYCLES_PER_SAMPLE = 0.1
TONE_AMPLITUDE = 0.5

_counter = itertools.count(1)


@pytest.fixture
def address(request):
    """127.0.<file block>.<n>: each test file names its own block (ADDRESS_BLOCK), since CTest
    runs the files side by side."""
    block = getattr(request.module, "ADDRESS_BLOCK")
    return f"127.0.{block}.{next(_counter)}"


@pytest.fixture
def instrument(address):
    """Starts the simulator on `address`; options through the `sim_options` marker."""
    if find_simulator() is None:
        pytest.skip("vita49-sim not built")

    def start(*options):
        sim = Simulator(address, options=options)
        sims.append(sim)
        return sim.start()

    sims = []
    yield start
    for sim in sims:
        sim.stop()


def set_up(address, connection="udp", item_size=16, payload_limit=8192, port=5001):
    """A remote control that has set the stream up (not started) on the simulator."""
    ctl = vita49.RemoteControl(address, connection=connection, local_address=address,
                               udp_port=port, tcp_port=port, stream_id=7)
    ctl.open()
    ctl.init_streaming()
    ctl.tune(433.92e6)
    ctl.set_bandwidth(1e6)
    ctl.set_oversampling(True)
    ctl.set_payload_limit(payload_limit)
    ctl.set_item_size(item_size)
    return ctl


def receiver(address, connection="udp", port=5001, **keywords):
    return vita49.Receiver(connection=connection, remote_address=address, local_address=address,
                           udp_port=port, tcp_port=port, stream_id=7, **keywords)


def phase_steps(iq):
    """Phase turned from each sample to the next, in cycles, folded into [-0.5, 0.5)."""
    steps = np.angle(iq[1:] * np.conj(iq[:-1])) / (2 * np.pi)
    return steps


def discontinuities(iq):
    """Indices i where sample i does not follow sample i - 1 along the tone."""
    off = np.abs(phase_steps(iq) - TONE_CYCLES_PER_SAMPLE) > 0.02
    return list(np.nonzero(off)[0] + 1)
