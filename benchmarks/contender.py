"""A measuring process of its own for one interpreter and pool size, asked for rounds of
measurements over a pipe, so that the contenders of a benchmark can be measured in turn, round
after round, and the load of a shared machine falls on all of them alike."""

import json
import os
import subprocess


class Contender:
    def __init__(self, python, script, threads, label=None):
        """Runs `script --serve` under `python` with a pool of `threads` workers."""
        self.label = label
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        self.process = subprocess.Popen([python, script, "--serve"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env)

    def ask(self, request):
        """Sends one request line; returns the process's answer, one JSON line."""
        self.process.stdin.write(request + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait()
