#!/usr/bin/env python3
"""terminal_cases.py - zel at a real terminal (a pseudo-terminal made here).

  terminal_cases.py echo ZEL CONFIG
      Runs `zel --check --dbsuser=someone` in the foreground of a new terminal, waits for the
      password prompt and types Ctrl+C. The terminal must have its echo back afterwards.
  terminal_cases.py background ZEL
      Runs zel with a missing configuration file in a background process group of a new
      terminal. It must end by itself (no key prompt that would stop it on SIGTTOU/SIGTTIN).

Prints one "ok"/"FAIL" line and exits 0 or 1.
"""
import os
import pty
import select
import signal
import sys
import termios
import time


def read_until(fd, text, seconds):
    seen = b""
    end = time.time() + seconds
    while time.time() < end and text not in seen:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    return seen


def wait_child(pid, seconds):
    end = time.time() + seconds
    while time.time() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.05)
    return None


def echo_case(zel, config):
    result_path = config + ".echo"
    pid, master = pty.fork()
    if pid == 0:
        # The session leader stays alive (with the terminal open) to look at the terminal
        # after zel has ended; zel runs in its foreground group and gets the Ctrl+C.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        child = os.fork()
        if child == 0:
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            os.execv(zel, [zel, "--config=" + config, "--check", "--dbsuser=someone"])
        os.waitpid(child, 0)
        attrs = termios.tcgetattr(0)
        with open(result_path, "w") as out:
            out.write("echo" if attrs[3] & termios.ECHO else "noecho")
        os._exit(0)
    seen = read_until(master, b"Enter SQL password: ", 15)
    if b"Enter SQL password: " not in seen:
        print("FAIL no password prompt: %r" % seen)
        os.kill(pid, signal.SIGKILL)
        return 1
    time.sleep(0.3)
    os.write(master, b"\x03")  # Ctrl+C: the terminal sends SIGINT to zel
    read_until(master, b"\x00", 3)
    if wait_child(pid, 15) is None:
        print("FAIL zel did not end after Ctrl+C at the password prompt")
        os.kill(pid, signal.SIGKILL)
        return 1
    state = open(result_path).read() if os.path.exists(result_path) else "unknown"
    if state != "echo":
        print("FAIL the terminal was left without echo after Ctrl+C at the password prompt")
        return 1
    print("ok   Ctrl+C at the password prompt gives the terminal its echo back")
    return 0


def background_case(zel):
    pid, master = pty.fork()
    if pid == 0:
        child = os.fork()
        if child == 0:
            os.setpgid(0, 0)  # a group of its own: not the terminal's foreground group
            os.execv(zel, [zel, "--config=/nonexistent/zel.config"])
        _, status = os.waitpid(child, os.WUNTRACED)
        if os.WIFSTOPPED(status):
            os.kill(child, signal.SIGKILL)
            os.waitpid(child, 0)
            os._exit(99)
        os._exit(os.WEXITSTATUS(status) if os.WIFEXITED(status) else 98)
    output = read_until(master, b"\x00", 5)
    status = wait_child(pid, 15)
    if status is None:
        os.kill(pid, signal.SIGKILL)
        print("FAIL zel in the background did not end")
        return 1
    code = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1
    if code == 99:
        print("FAIL zel in the background was stopped by the terminal (key prompt)")
        return 1
    if code != 1 or b"Could not open config file" not in output:
        print("FAIL zel in the background: exit %d, output %r" % (code, output))
        return 1
    print("ok   zel in the background ends without a key prompt (exit 1)")
    return 0


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "echo":
        return echo_case(sys.argv[2], sys.argv[3])
    if len(sys.argv) == 3 and sys.argv[1] == "background":
        return background_case(sys.argv[2])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
