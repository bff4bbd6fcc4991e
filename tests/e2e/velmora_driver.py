"""Drives the real program's windows through the accessibility bus (AT-SPI).

Runs inside tests/e2e/with-display.sh (Xvfb + session bus + accessibility bus).
Controls are found by role and accessible name (= caption); buttons are pressed
through their Action interface, edits filled through EditableText and the log box
read through Text, as assistive technology would.
"""

import os
import socket
import struct
import subprocess
import time
import warnings

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402
import pyatspi  # noqa: E402,F401  (initialises libatspi for this process)

DEFAULT_TIMEOUT = 30.0
ABOUT_TITLE = "バージョン情報 Velmora"
QUIT_TITLE = "Velmora"
_POLL_INTERVAL = 0.05
_MAX_POLL_INTERVAL = 0.25


class DriverError(Exception):
    pass


class NotFound(DriverError, LookupError):
    """A control is not (yet) there; poll() keeps waiting on it."""


def poll(fn, timeout=DEFAULT_TIMEOUT, what="condition"):
    """Calls fn until it returns a truthy value and returns it; bounded in time and count.

    Accessibility errors raised by fn count as "not yet" (objects come and go).
    """
    deadline = time.monotonic() + timeout
    interval = _POLL_INTERVAL
    last_error = None
    for _ in range(int(timeout / _POLL_INTERVAL) + 2):
        _pump()
        try:
            value = fn()
            if value:
                return value
        except (GLib.GError, LookupError, NotImplementedError) as e:
            last_error = e
        if time.monotonic() >= deadline:
            break
        time.sleep(interval)
        interval = min(interval * 1.5, _MAX_POLL_INTERVAL)
    detail = f" (last error: {last_error})" if last_error else ""
    raise TimeoutError(f"timed out after {timeout:g} s waiting for {what}{detail}")


def _pump():
    """Lets libatspi process pending bus events so its view of the tree stays current."""
    context = GLib.MainContext.default()
    for _ in range(200):
        if not context.iteration(False):
            break


def _desktop():
    desktop = Atspi.get_desktop(0)
    desktop.set_cache_mask(Atspi.Cache.NONE)
    return desktop


def _applications():
    """(pid, accessible application) for every application on the bus."""
    result = []
    desktop = _desktop()
    for i in range(desktop.get_child_count()):
        try:
            acc = desktop.get_child_at_index(i)
            if acc is None:
                continue
            result.append((acc.get_process_id(), acc))
        except GLib.GError:
            continue
    return result


def _children(acc):
    out = []
    for i in range(acc.get_child_count()):
        child = acc.get_child_at_index(i)
        if child is not None:
            out.append(child)
    return out


def _walk(acc, limit=5000):
    """Depth-first descendants of acc (acc included), bounded in count."""
    stack = [acc]
    seen = 0
    while stack and seen < limit:
        node = stack.pop()
        seen += 1
        yield node
        try:
            stack.extend(reversed(_children(node)))
        except GLib.GError:
            continue


def _has_state(acc, state):
    return acc.get_state_set().contains(state)


def _is_text_box(acc, multi_line):
    roles = (Atspi.Role.TEXT, Atspi.Role.ENTRY, Atspi.Role.PASSWORD_TEXT, Atspi.Role.SPIN_BUTTON)
    if acc.get_role() not in roles:
        return False
    if multi_line:
        return _has_state(acc, Atspi.StateType.MULTI_LINE)
    return _has_state(acc, Atspi.StateType.SINGLE_LINE) or not _has_state(acc, Atspi.StateType.MULTI_LINE)


def _is_shown(acc):
    return _has_state(acc, Atspi.StateType.SHOWING) or _has_state(acc, Atspi.StateType.VISIBLE)


def _text(acc):
    return Atspi.Text.get_text(acc, 0, -1)


def _find(root, predicate):
    for node in _walk(root):
        try:
            if predicate(node):
                return node
        except GLib.GError:
            continue
    return None


def _button(root, caption):
    return _find(root, lambda a: a.get_role() in (Atspi.Role.PUSH_BUTTON, Atspi.Role.TOGGLE_BUTTON)
                 and a.get_name() == caption)


def _press(acc):
    with warnings.catch_warnings():
        # The binding's replacement for this deprecated name is not exposed.
        warnings.simplefilter("ignore", DeprecationWarning)
        names = [Atspi.Action.get_action_name(acc, i).lower() for i in range(Atspi.Action.get_n_actions(acc))]
    for wanted in ("press", "click", "activate"):
        if wanted in names:
            return Atspi.Action.do_action(acc, names.index(wanted))
    raise DriverError(f"{acc.get_name()!r} has no press action (actions: {names})")


def _focus_window(pid, title, timeout):
    """Gives the keyboard focus to the shown X window of pid with this title."""
    windows = subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--pid", str(pid), "--name", f"^{title}$"],
        capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL).stdout.split()
    if not windows:
        raise NotFound(f"no X window {title!r} of pid {pid}")
    subprocess.run(["xdotool", "windowfocus", "--sync", windows[-1]], check=True, timeout=timeout,
                   stdin=subprocess.DEVNULL)


def extents_of(acc):
    """(x, y, width, height) of an accessible on screen."""
    e = Atspi.Component.get_extents(acc, Atspi.CoordType.SCREEN)
    return e.x, e.y, e.width, e.height


def _type_keys(keys, timeout):
    """Types keys (xdotool names) into the focused window."""
    subprocess.run(["xdotool", "key", "--clearmodifiers", *keys], check=True, timeout=timeout,
                   stdin=subprocess.DEVNULL)


def _split_lines(text):
    for sep in ("\r\n", "\r", "\u2029", "\u2028"):
        text = text.replace(sep, "\n")
    return text.split("\n")


def stat_fields(pid):
    """Fields of /proc/<pid>/stat after the command name (state first), or None when gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read().decode("utf-8", "replace")
    except OSError:
        return None
    return stat[stat.rindex(")") + 2:].split()


def read_ppid(pid):
    """Parent pid, or None when the process is gone."""
    fields = stat_fields(pid)
    return None if fields is None else int(fields[1])


def _process_alive(pid):
    fields = stat_fields(pid)
    return fields is not None and fields[0] not in ("Z", "X")


def _exe_of(pid):
    try:
        return os.path.realpath(f"/proc/{pid}/exe")
    except OSError:
        return None


class PortDialog:
    """The port dialog of one process, while it is open."""

    def __init__(self, app, window):
        self.app = app
        self.window = window

    @property
    def edit(self):
        edit = _find(self.window, lambda a: _is_text_box(a, multi_line=False))
        if edit is None:
            raise NotFound("port dialog has no edit")
        return edit

    @property
    def text(self):
        return _text(self.edit)

    @property
    def title(self):
        return self.window.get_name()

    def labels(self):
        return [a.get_name() for a in _walk(self.window) if a.get_role() == Atspi.Role.LABEL]

    def set_text(self, text, timeout=DEFAULT_TIMEOUT):
        edit = self.edit
        text = str(text)

        def done():
            Atspi.EditableText.set_text_contents(edit, text)
            return _text(edit) == text

        poll(done, timeout, f"port edit to hold {text!r}")

    def paste(self, text, timeout=DEFAULT_TIMEOUT):
        """Pastes text over the edit's whole text from the keyboard (Ctrl+A, Ctrl+V), the
        way a person pastes; returns what the edit holds afterwards.

        The clipboard is filled from the edit itself, which then gets its preset back, so
        whatever the edit shows in the end came through the paste (text is not "10000").
        """
        edit = self.edit
        self.set_text(text, timeout)
        Atspi.EditableText.copy_text(edit, 0, len(text))
        self.set_text("10000", timeout)
        _focus_window(self.app.pid, self.title, timeout)
        _type_keys(["ctrl+a", "ctrl+v"], timeout)
        poll(lambda: _text(edit) != "10000", timeout, f"the pasted {text!r} to reach the edit")
        return _text(edit)

    def press(self, caption, wait=True, timeout=DEFAULT_TIMEOUT):
        """Presses a button of the dialog; with wait, until the dialog has closed."""
        button = poll(lambda: _button(self.window, caption), timeout, f"{caption!r} in the port dialog")
        _press(button)
        if wait:
            self.wait_closed(timeout)

    def ok(self, wait=True, timeout=DEFAULT_TIMEOUT):
        self.press("OK", wait, timeout)

    def cancel(self, wait=True, timeout=DEFAULT_TIMEOUT):
        self.press("キャンセル", wait, timeout)

    def is_open(self):
        return self.app._port_dialog_window() is not None

    def wait_closed(self, timeout=DEFAULT_TIMEOUT):
        poll(lambda: not self.is_open(), timeout, "the port dialog to close")


class App:
    """One running process of the program, seen through its accessible application."""

    def __init__(self, pid, accessible, process=None):
        self.pid = pid
        self.accessible = accessible
        self.process = process
        self._main = None

    def __repr__(self):
        return f"App(pid={self.pid})"

    # -- windows ---------------------------------------------------------------
    def windows(self):
        """Top-level windows currently shown."""
        return [w for w in _children(self.accessible) if _is_shown(w)]

    @property
    def main_window(self):
        if self._main is None:
            self._main = poll(self._find_main_window, DEFAULT_TIMEOUT, f"main window of pid {self.pid}")
        return self._main

    @property
    def title(self):
        return self.main_window.get_name()

    def _find_main_window(self):
        for window in self.windows():
            if _find(window, lambda a: _is_text_box(a, multi_line=True)) is not None:
                return window
        return None

    def _port_dialog_window(self):
        main = self.main_window
        for window in self.windows():
            if window == main:
                continue
            if _find(window, lambda a: _is_text_box(a, multi_line=False)) is not None:
                return window
        return None

    def extents(self):
        """(x, y, width, height) on screen enclosing this process's shown windows."""
        boxes = []
        for window in self.windows():
            e = Atspi.Component.get_extents(window, Atspi.CoordType.SCREEN)
            if e.width > 0 and e.height > 0:
                boxes.append((e.x, e.y, e.x + e.width, e.y + e.height))
        if not boxes:
            raise NotFound(f"pid {self.pid} shows no window")
        left, top = min(b[0] for b in boxes), min(b[1] for b in boxes)
        right, bottom = max(b[2] for b in boxes), max(b[3] for b in boxes)
        return max(left, 0), max(top, 0), right - max(left, 0), bottom - max(top, 0)

    # -- actions -----------------------------------------------------------------
    def click(self, caption, window=None, timeout=DEFAULT_TIMEOUT):
        """Presses the enabled button with this caption (in the main window by default)."""
        root = window if window is not None else self.main_window

        def enabled_button():
            button = _button(root, caption)
            if button is not None and _has_state(button, Atspi.StateType.ENABLED):
                return button
            return None

        _press(poll(enabled_button, timeout, f"enabled button {caption!r} in pid {self.pid}"))

    def port_dialog(self, timeout=DEFAULT_TIMEOUT):
        """Waits for this process's open port dialog."""
        return PortDialog(self, poll(self._port_dialog_window, timeout, f"port dialog of pid {self.pid}"))

    def open_port_dialog(self, timeout=DEFAULT_TIMEOUT):
        self.click("Port Listen", timeout=timeout)
        return self.port_dialog(timeout)

    def listen(self, port, timeout=DEFAULT_TIMEOUT):
        dialog = self.open_port_dialog(timeout)
        dialog.set_text(port, timeout)
        dialog.ok(timeout)

    def window_named(self, title):
        """The shown top-level window with this title, or None."""
        return next((w for w in self.windows() if w.get_name() == title), None)

    def open_about_box(self, timeout=DEFAULT_TIMEOUT):
        """Opens the about box from the log box's context menu (right click, then its last
        item); returns its window."""
        self._right_click_log_box(timeout)
        subprocess.run(["xdotool", "key", "Up", "Return"], check=True, timeout=timeout,
                       stdin=subprocess.DEVNULL)
        return poll(lambda: self.window_named(ABOUT_TITLE), timeout, f"the about box of pid {self.pid}")

    def choose_log_menu_item(self, access_key, timeout=DEFAULT_TIMEOUT):
        """Opens the log box's context menu with a right click and chooses the item by its
        access key (the toolkit keeps popup menus out of the accessible tree)."""
        self._right_click_log_box(timeout)
        subprocess.run(["xdotool", "key", access_key], check=True, timeout=timeout,
                       stdin=subprocess.DEVNULL)

    def _right_click_log_box(self, timeout):
        e = Atspi.Component.get_extents(self.log_box(), Atspi.CoordType.SCREEN)
        subprocess.run(["xdotool", "mousemove", "--sync", str(e.x + e.width // 2), str(e.y + e.height // 2),
                        "click", "3"], check=True, timeout=timeout, stdin=subprocess.DEVNULL)

    def quit_question(self):
        """The open question whether to quit (an alert titled "Velmora" with a "Yes"
        button), or None."""
        for window in self.windows():
            if (window.get_role() == Atspi.Role.ALERT and window.get_name() == QUIT_TITLE
                    and _button(window, "Yes") is not None):
                return window
        return None

    def press_keys(self, *keys, focus=None, timeout=DEFAULT_TIMEOUT):
        """Types keys (xdotool names) into the main window; into the control `focus` when
        given, which gets the focus through the accessibility bus first."""
        _focus_window(self.pid, self.title, timeout)
        if focus is not None:
            poll(lambda: Atspi.Component.grab_focus(focus)
                 and _has_state(focus, Atspi.StateType.FOCUSED),
                 timeout, f"{focus.get_name()!r} to have the focus")
        _type_keys(keys, timeout)

    def resize(self, width, height, timeout=DEFAULT_TIMEOUT):
        """Resizes the main window's X window to width x height pixels."""
        windows = subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--pid", str(self.pid), "--name",
             f"^{self.title}$"],
            capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL).stdout.split()
        if not windows:
            raise NotFound(f"no X window {self.title!r} of pid {self.pid}")
        subprocess.run(["xdotool", "windowsize", windows[-1], str(width), str(height)], check=True,
                       timeout=timeout, stdin=subprocess.DEVNULL)

    def button(self, caption):
        """The main window's button with this caption."""
        button = _button(self.main_window, caption)
        if button is None:
            raise NotFound(f"no button {caption!r} in pid {self.pid}")
        return button

    def cancel_port_dialog(self, timeout=DEFAULT_TIMEOUT):
        """Cancels the open port dialog, opening it first if none is open."""
        window = self._port_dialog_window()
        dialog = PortDialog(self, window) if window is not None else self.open_port_dialog(timeout)
        dialog.cancel(timeout)

    def status_text(self):
        """The status line under the log box: the label named "Status", whose accessible
        description is the line it shows."""
        label = _find(self.main_window,
                      lambda a: a.get_role() == Atspi.Role.LABEL and a.get_name() == "Status")
        if label is None:
            raise NotFound(f"no status line in pid {self.pid}")
        return label.get_description()

    # -- log box -------------------------------------------------------------------
    def log_box(self):
        box = _find(self.main_window, lambda a: _is_text_box(a, multi_line=True))
        if box is None:
            raise NotFound(f"no log box in pid {self.pid}")
        return box

    def log_text(self):
        """The log box's whole text, read in one call."""
        return _text(self.log_box())

    def log_lines(self):
        """The log box's lines, empty ones (such as the leading one) left out."""
        return [line for line in _split_lines(self.log_text()) if line]

    def wait_for_line(self, match, timeout=DEFAULT_TIMEOUT, after=0):
        """Waits for a log line equal to match (str) or satisfying it (callable).

        Lines before index `after` of log_lines() are ignored. Returns the line.
        """
        test = match if callable(match) else (lambda line: line == match)
        box = poll(self.log_box, timeout, f"log box of pid {self.pid}")

        def found():
            lines = [line for line in _split_lines(_text(box)) if line]
            return next((line for line in lines[after:] if test(line)), None)

        return poll(found, timeout, f"log line {match!r} in pid {self.pid}")

    # -- processes ---------------------------------------------------------------
    def children(self):
        """Running processes of the program whose parent is this process."""
        return [App(pid, acc) for pid, acc in _applications() if read_ppid(pid) == self.pid]

    def wait_for_children(self, count, timeout=DEFAULT_TIMEOUT):
        """Waits until at least `count` children have a shown main window; returns them."""
        def ready():
            kids = self.children()
            if len(kids) < count:
                return None
            for kid in kids:
                if kid._find_main_window() is None:
                    return None
            return kids

        return poll(ready, timeout, f"{count} child process(es) of pid {self.pid}")

    def is_running(self):
        if self.process is not None:
            return self.process.poll() is None
        return _process_alive(self.pid)

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the process to end; its exit code when it is our child, else None."""
        if self.process is not None:
            try:
                return self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                raise TimeoutError(f"pid {self.pid} did not exit within {timeout:g} s") from None
        poll(lambda: not _process_alive(self.pid), timeout, f"pid {self.pid} to exit")
        return None

    def close(self, timeout=DEFAULT_TIMEOUT):
        """Presses the main window's "OK", answers "Yes" when asked whether to quit, and
        waits for the process to exit."""
        self.click("OK", timeout=timeout)

        def exited_or_asked():
            if not self.is_running():
                return [None]
            question = self.quit_question()
            return None if question is None else [question]

        (question,) = poll(exited_or_asked, timeout,
                           f"pid {self.pid} to exit or ask whether to quit")
        if question is not None:
            self.click("Yes", window=question, timeout=timeout)
        return self.wait_exit(timeout)

    def kill(self):
        """Ends the process if it still runs (test clean-up)."""
        if not self.is_running():
            return
        try:
            os.kill(self.pid, 9)
        except ProcessLookupError:
            return
        if self.process is not None:
            self.process.wait(DEFAULT_TIMEOUT)


def find_app(pid, timeout=DEFAULT_TIMEOUT, process=None):
    """The App of a running process, once its accessible application is on the bus."""
    def lookup():
        if process is not None and process.poll() is not None:
            raise DriverError(f"pid {pid} exited with {process.returncode} before showing a window")
        for app_pid, acc in _applications():
            if app_pid == pid:
                return acc
        return None

    return App(pid, poll(lookup, timeout, f"accessible application of pid {pid}"), process)


def launch(path, args=(), env=None, timeout=DEFAULT_TIMEOUT, pass_fds=()):
    """Starts the program and returns its App once its main window is shown; pass_fds are
    inherited under their numbers."""
    process = subprocess.Popen([path, *map(str, args)], env=env, stdin=subprocess.DEVNULL,
                               pass_fds=pass_fds)
    try:
        app = find_app(process.pid, timeout, process)
        app.main_window
    except BaseException:
        process.kill()
        process.wait(DEFAULT_TIMEOUT)
        raise
    return app


def apps_of(path):
    """Apps of every running process of the executable at path (detached ones too)."""
    real = os.path.realpath(path)
    return [App(pid, acc) for pid, acc in _applications() if _exe_of(pid) == real]


class FramedClient:
    """TCP client to 127.0.0.1 sending messages framed as 4-byte little-endian length + bytes."""

    def __init__(self, port, timeout=DEFAULT_TIMEOUT):
        self.port = port
        self.sock = poll(lambda: self._try_connect(port), timeout, f"a listener on 127.0.0.1:{port}")
        self.sock.settimeout(timeout)

    @staticmethod
    def _try_connect(port):
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=5)
        except OSError:
            return None

    @property
    def peer(self):
        """This client's address as the server sees it, e.g. "127.0.0.1:50123"."""
        host, port = self.sock.getsockname()[:2]
        return f"{host}:{port}"

    def line(self, text):
        """The log line the server writes for this client, e.g. "127.0.0.1:50123 -> hello"."""
        return f"{self.peer} -> {text}"

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("utf-8")
        self.sock.sendall(struct.pack("<I", len(data)) + data)

    def send_raw(self, data):
        self.sock.sendall(data)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def screenshot(path, region=None):
    """Saves the screen, or region (x, y, width, height) of it, as an image named path."""
    command = ["import", "-window", "root"]
    if region is not None:
        x, y, width, height = region
        command += ["-crop", f"{width}x{height}+{x}+{y}", "+repage"]
    subprocess.run([*command, str(path)], check=True, timeout=DEFAULT_TIMEOUT, stdin=subprocess.DEVNULL)
