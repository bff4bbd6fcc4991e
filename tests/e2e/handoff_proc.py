"""What the hand-off tests read under /proc: descriptors, TCP sockets and processes.

Loopback TCP only. Every wait is bounded and polls; nothing here changes a process
except kill_marked, which ends the processes a test started (found by an environment
marker that every generation inherits). socket_of only takes a copy of a descriptor.
"""

import ctypes
import os
import signal
import socket
import subprocess
import time

from velmora_driver import stat_fields

# /proc/net/tcp "st" values.
TCP_ESTABLISHED = 0x01
TCP_LISTEN = 0x0A


class TcpSocket:
    """One line of /proc/net/tcp(6)."""

    def __init__(self, fields):
        self.local_port = int(fields[1].rsplit(":", 1)[1], 16)
        self.remote_port = int(fields[2].rsplit(":", 1)[1], 16)
        self.state = int(fields[3], 16)
        tx, rx = fields[4].split(":")
        self.tx_queue = int(tx, 16)
        self.rx_queue = int(rx, 16)
        self.inode = int(fields[9])

    def __repr__(self):
        return (f"TcpSocket(:{self.local_port} -> :{self.remote_port}, st={self.state:02X}, "
                f"tx={self.tx_queue}, rx={self.rx_queue}, inode={self.inode})")


def tcp_sockets():
    """Every TCP socket of this network namespace, IPv4 and IPv6."""
    result = []
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(name) as f:
                lines = f.read().splitlines()[1:]
        except OSError:
            continue
        result.extend(TcpSocket(line.split()) for line in lines if line.strip())
    return result


def server_side(server_port, client_port):
    """The server's end of the loopback connection from client_port, or None."""
    for s in tcp_sockets():
        if s.local_port == server_port and s.remote_port == client_port and s.inode:
            return s
    return None


def client_side(server_port, client_port):
    for s in tcp_sockets():
        if s.local_port == client_port and s.remote_port == server_port:
            return s
    return None


def descriptors(pid):
    """{fd: readlink target} of a live process."""
    base = f"/proc/{pid}/fd"
    result = {}
    for name in os.listdir(base):
        try:
            result[int(name)] = os.readlink(f"{base}/{name}")
        except OSError:  # closed meanwhile
            continue
    return result


class Census:
    """A process's descriptors, sorted by kind."""

    def __init__(self, pid):
        self.pid = pid
        self.fds = descriptors(pid)
        by_inode = {s.inode: s for s in tcp_sockets() if s.inode}
        self.established = {}  # fd -> inode
        self.listening = {}  # fd -> inode
        self.other_tcp = {}  # fd -> TcpSocket (closing states)
        self.memfds = []
        self.pidfds = []
        self.own = {}  # everything else: Qt, X11, D-Bus, eventfds, stdio...
        for fd, target in self.fds.items():
            if target.startswith("socket:[") and int(target[8:-1]) in by_inode:
                s = by_inode[int(target[8:-1])]
                if s.state == TCP_ESTABLISHED:
                    self.established[fd] = s.inode
                elif s.state == TCP_LISTEN:
                    self.listening[fd] = s.inode
                else:
                    self.other_tcp[fd] = s
            elif target.startswith("/memfd:") or target.startswith("anon_inode:[memfd"):
                self.memfds.append(fd)
            elif target == "anon_inode:[pidfd]":
                self.pidfds.append(fd)
            else:
                self.own[fd] = target

    def __repr__(self):
        return (f"Census(pid={self.pid}, established={self.established}, "
                f"listening={self.listening}, other_tcp={self.other_tcp}, memfds={self.memfds}, "
                f"pidfds={self.pidfds}, own={self.own})")




def bytes_waiting_from(pid, peer_pid):
    """Bytes waiting unread at pid's end of the local stream sockets whose other end
    peer_pid holds (ss reads the queues; the processes are not disturbed)."""
    def inodes(of):
        return {int(t[8:-1]) for t in descriptors(of).values() if t.startswith("socket:[")}

    mine, theirs = inodes(pid), inodes(peer_pid)
    waiting = 0
    for line in subprocess.run(["ss", "-xH"], capture_output=True, text=True,
                               check=True).stdout.splitlines():
        fields = line.split()
        if len(fields) >= 8 and int(fields[5]) in mine and int(fields[7]) in theirs:
            waiting += int(fields[2])
    return waiting


_SYS_PIDFD_GETFD = 438  # the same number on every architecture the program builds for


def socket_of(pid, fd):
    """A socket object on a duplicate of descriptor fd of process pid (pidfd_getfd), so
    its options can be read with getsockopt; the process is not disturbed."""
    pidfd = os.pidfd_open(pid)
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        copy = libc.syscall(_SYS_PIDFD_GETFD, pidfd, fd, 0)
        if copy < 0:
            error = ctypes.get_errno()
            raise OSError(error, f"pidfd_getfd({pid}, {fd}): {os.strerror(error)}")
    finally:
        os.close(pidfd)
    return socket.socket(fileno=copy)


def keepalive(sock):
    """(SO_KEEPALIVE, TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT) of a TCP socket."""
    return (sock.getsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE),
            sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPIDLE),
            sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPINTVL),
            sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPCNT))


def state(pid):
    """One-letter process state ("R", "S", "Z"...), or None when the pid is gone."""
    fields = stat_fields(pid)
    return fields[0] if fields else None


def children_of(pid):
    """Pids whose parent is pid, zombies included."""
    result = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        fields = stat_fields(name)
        if fields and int(fields[1]) == pid:
            result.append(int(name))
    return result


def wait_until(fn, timeout, what):
    """Polls fn until it returns a truthy value (returned); TimeoutError after timeout s."""
    deadline = time.monotonic() + timeout
    interval = 0.02
    while True:
        value = fn()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)
        interval = min(interval * 1.5, 0.25)


def wait_reaped(pid, timeout):
    """Waits until the pid is gone from /proc (its parent has collected it)."""
    wait_until(lambda: state(pid) is None, timeout,
               f"pid {pid} to be reaped (state now {state(pid)!r})")


def start_environment(pid):
    """The environment a process was started with ({name: value}); later changes inside the
    process are not seen."""
    with open(f"/proc/{pid}/environ", "rb") as f:
        entries = f.read().split(b"\0")
    result = {}
    for entry in entries:
        name, sep, value = entry.decode("utf-8", "replace").partition("=")
        if sep:
            result[name] = value
    return result


def marked_pids(name, value):
    """Live pids whose environment holds name=value."""
    marker = f"{name}={value}".encode()
    result = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if marker in f.read().split(b"\0"):
                    result.append(int(entry))
        except OSError:
            continue
    return result


def kill_marked(name, value, timeout=10.0):
    """SIGKILLs every process carrying the marker; waits (bounded) until none runs."""
    for pid in marked_pids(name, value):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def settled():
        return all(state(pid) in (None, "Z", "X") for pid in marked_pids(name, value))

    try:
        wait_until(settled, timeout, f"processes marked {name}={value} to end")
    except TimeoutError:
        pass
