"""Fixtures of the Python module's tests: nev-sim processes on pseudo-terminals (NEV_SIM names
the program) and a printer connected to one, whose messages are collected."""
import os
import subprocess

import pytest

import nev


class Sim:
    """One nev-sim process; device is the path to open, the till roll is its paper file."""

    def __init__(self, folder, args):
        folder.mkdir()
        self.paper = folder / "paper.txt"
        self.process = subprocess.Popen([os.environ["NEV_SIM"], "--paper", str(self.paper), *args],
                                        stdout=subprocess.PIPE, text=True)
        self.device = self.process.stdout.readline().strip()
        assert self.device, "nev-sim did not say its device"

    def till_roll(self):
        return self.paper.read_text(encoding="utf-8") if self.paper.exists() else ""

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.process.stdout.close()


@pytest.fixture
def sim(tmp_path):
    """start(*nev_sim_options) -> Sim; every simulator is stopped after the test."""
    started = []

    def start(*args):
        started.append(Sim(tmp_path / f"sim{len(started)}", args))
        return started[-1]

    yield start
    for s in started:
        s.stop()


class Connected:
    """A NEV object connected to a simulator, with the messages its sink was given."""

    def __init__(self, device, log_folder):
        self.messages = []
        self.p = nev.NEV(str(log_folder))
        self.p.message_sink = lambda *message: self.messages.append(message)
        assert self.p.InitConnection(device, 9600)


@pytest.fixture
def connect(sim, tmp_path):
    """connect(*nev_sim_options) -> Connected, on a fresh simulator (stopped after the object)."""
    objects = []

    def start(*args):
        objects.append(Connected(sim(*args).device, tmp_path))
        return objects[-1]

    yield start
    for o in objects:
        o.p.StopConnection()
