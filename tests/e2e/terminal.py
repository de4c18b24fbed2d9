#!/usr/bin/python3
"""Runs a shell command the way a user's terminal would: as the leader of a session
whose controlling terminal is a new pseudo-terminal, the command's input and output.
Prints what the command wrote, then 'pending: N': the bytes waiting in the terminal's
input for whatever reads it next (the user's shell), where input pushed into the
terminal from elsewhere lands."""
import array
import fcntl
import os
import pty
import select
import subprocess
import sys
import termios
import tty

master, slave = pty.openpty()
tty.setraw(slave)


def take_terminal():
    os.setsid()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


child = subprocess.Popen(["bash", "-c", sys.argv[1]], stdin=slave, stdout=slave, stderr=slave,
                         preexec_fn=take_terminal)
out = b""
# Until the command has ended and nothing more comes out.
while True:
    ready, _, _ = select.select([master], [], [], 0.1)
    if ready:
        try:
            out += os.read(master, 65536)
        except OSError:
            ready = []
    if not ready and child.poll() is not None:
        break
pending = array.array("i", [0])
fcntl.ioctl(slave, termios.FIONREAD, pending)
sys.stdout.write(out.decode("utf-8", "backslashreplace"))
print("\npending: %d" % pending[0])
