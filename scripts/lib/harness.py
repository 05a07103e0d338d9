"""Drives StarquillUpdate.exe under Wine the way a user would, and reads back
what it did with tools we did not write.

Shared by the end-to-end tests (tests/e2e) and by scripts/demo. Needs Debian's
python (/usr/bin/python3), Wine, Xvfb, xdotool, ImageMagick's import and
liblnk-utils' lnkinfo.

The pieces:
  WineSession      a display, a wineserver and the Wine environment of one
                   prefix (the one scripts/lib/wine-env.sh chooses, or any
                   WINEPREFIX given); runs Wine programs; reads the registry.
  UpdaterRun       one started updater: its windows, key presses, the texts of
                   its message boxes and dialog controls, its exit code.
  write_container  builds an UpdateData.dat from a dict of payloads.
  Installation     a game folder holding old versions of the seven files.
  read_lnk         a .lnk file's fields as lnkinfo reports them.
"""

import glob
import hashlib
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

APP_TITLE = "Starquill アップデート Ver1.30"
ERROR_TITLE = "エラー"
INSTALL_KEY = r"HKCU\Software\Orvelle\Starquill"
MUTEX_NAME = "KXUPDATE Ver0.10"
CONTAINER_NAME = "UpdateData.dat"

# The files the updater replaces, in the order it replaces them.
UPDATE_FILES = (
    "Tesselka.exe",
    "Tesselka30.exe",
    "delta110.dat",
    "delta120.dat",
    "delta130.dat",
    "BaseGame.pak",
    "Catalog.ini",
)

TEXT_COMPLETE = "更新は完了しました。"
TEXT_FAILED = "更新ファイル書き込みに失敗しました。ゲームが起動されている場合は、終了してから再度実行して下さい。"
TEXT_NOT_INSTALLED = (
    "Starquillがインストールされていません。インストールが終了してから再度アップデートを行って下さいませ。")
TEXT_OVERWRITE = "既にこのバージョンのアップデートは終了しています。\n上書きアップデートしますか？"
TEXT_REGISTRY_ERROR = "レジストリエラー"


def file_error_text(payload_name):
    return "ファイルが書き込めません。[%s]" % payload_name


SHORTCUT_FOLDER = ("Orvelle", "Starquill")
SHORTCUT_NAME = "テセルカ３０ＦＰＳ.lnk"
SHORTCUT_TARGET = "Tesselka30.exe"
SHORTCUT_DESCRIPTION = "ゲームを３０ＦＰＳで起動します"

DEFAULT_TIMEOUT = 30.0


class HarnessError(AssertionError):
    """A wait ran out or a tool failed: the run under test misbehaved."""


def poll(predicate, timeout, what, interval=0.1):
    """Calls predicate until it returns something true; returns that value.
    Raises HarnessError naming `what` when `timeout` seconds pass first."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def windows_path(linux_path):
    """The path under Wine's Z: drive (the whole Linux file system)."""
    return "Z:" + os.path.abspath(linux_path).replace("/", "\\")


# ---------------------------------------------------------------------------
# Payloads and the update container


def write_container(path, payloads, wide=True, signature=b"SQUPDATE\x00\x00\x00", gap=0):
    """Writes an update container holding `payloads` (name -> bytes, in the
    order given). The 16-byte header is the signature (11 bytes), the layout
    mark ('2' = 32-byte name fields, '1' = 16-byte ones) and the entry count;
    then all name fields, then one (offset, length) record per entry, offsets
    counting from the end of the directory; then the data. `gap` bytes of
    filler go before each entry's data, so that a reader that ignores the
    offsets reads the wrong bytes.

    Kept in one function so that the publisher's own packing tool can take its
    place later."""
    assert len(signature) == 11
    field = 32 if wide else 16
    names = list(payloads)
    header = signature + (b"2" if wide else b"1") + struct.pack("<I", len(names))
    name_block = b""
    for name in names:
        encoded = name.encode("cp932")
        assert len(encoded) < field, "name too long for the layout: %r" % name
        name_block += encoded.ljust(field, b"\x00")
    location_block = b""
    data = b""
    for name in names:
        data += b"\xee" * gap
        location_block += struct.pack("<II", len(data), len(payloads[name]))
        data += payloads[name]
    with open(path, "wb") as out:
        out.write(header + name_block + location_block + data)
    return path


def make_content(label, size, seed):
    """Deterministic, recognisable bytes: a text line naming the file, then
    pseudo-random filler up to `size` bytes."""
    rng = random.Random(seed)
    head = ("%s\r\n" % label).encode("ascii")
    return (head + rng.randbytes(max(0, size - len(head))))[:size]


# Old files are larger than most new ones, so that a replacement that does not
# truncate leaves tell-tale bytes behind; BaseGame.pak grows past 4 MiB.
OLD_SIZES = {
    "Tesselka.exe": 70_000, "Tesselka30.exe": 70_500, "delta110.dat": 3_000,
    "delta120.dat": 4_000, "delta130.dat": 10, "BaseGame.pak": 1_500_000, "Catalog.ini": 900,
}
NEW_SIZES = {
    "Tesselka.exe": 65_537, "Tesselka30.exe": 66_001, "delta110.dat": 2_999,
    "delta120.dat": 5_120, "delta130.dat": 40_000, "BaseGame.pak": 5_000_000, "Catalog.ini": 333,
}


def old_files():
    return {n: make_content("Starquill 1.000 " + n, OLD_SIZES[n], "old" + n) for n in UPDATE_FILES}


def new_payloads():
    return {n: make_content("Starquill 1.300 " + n, NEW_SIZES[n], "new" + n) for n in UPDATE_FILES}


class Installation:
    """A game folder with the old versions of the seven files."""

    def __init__(self, folder, files=None):
        self.folder = folder
        self.files = dict(old_files() if files is None else files)
        os.makedirs(folder, exist_ok=True)
        for name, data in self.files.items():
            with open(os.path.join(folder, name), "wb") as out:
                out.write(data)

    @property
    def windows_folder(self):
        return windows_path(self.folder)

    def read(self, name):
        with open(os.path.join(self.folder, name), "rb") as f:
            return f.read()

    def listing(self):
        return sorted(os.listdir(self.folder))


# ---------------------------------------------------------------------------
# Wine


def _decode_debugstr(text):
    """Undoes Wine's debugstr_w escaping: \\xxxx (4 hex digits), \\n, \\r,
    \\t, \\\\ and \\"."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "n":
                out.append("\n"); i += 2; continue
            if n == "r":
                out.append("\r"); i += 2; continue
            if n == "t":
                out.append("\t"); i += 2; continue
            if re.match(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
                out.append(chr(int(text[i + 1:i + 5], 16))); i += 5; continue
            if n == "x" and re.match(r"[0-9a-fA-F]{2}", text[i + 2:i + 4]):
                out.append(chr(int(text[i + 2:i + 4], 16))); i += 4; continue
            out.append(n); i += 2; continue
        out.append(c)
        i += 1
    return "".join(out)


_MSGBOX_RE = re.compile(r'trace:msgbox:MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"')
_SETTEXT_RE = re.compile(r'trace:win:set_window_text L"((?:[^"\\]|\\.)*)"')


def _free_display():
    for n in range(90, 130):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return ":%d" % n
    raise HarnessError("no free X display number")


class WineSession:
    """The Wine environment of one prefix, with a display and a wineserver.

    Uses the DISPLAY it finds; without one it starts its own Xvfb and ends it
    on close(). Starts a persistent wineserver unless one already serves the
    prefix, and ends it on close() only when it started it."""

    def __init__(self, arch, prefix=None):
        if arch not in ("win32", "win64"):
            raise ValueError("arch must be win32 or win64, not %r" % arch)
        self.arch = arch
        self.prefix = prefix
        self.env = None
        self._xvfb = None
        self._own_server = False

    # -- lifetime

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        self.env = self._wine_environment()
        if not self.env.get("DISPLAY"):
            display = _free_display()
            self._xvfb = subprocess.Popen(
                ["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.env["DISPLAY"] = display
            poll(lambda: subprocess.run(["xdpyinfo"], env=self.env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL).returncode == 0,
                 15, "Xvfb on " + display)
        if not self._server_running():
            subprocess.run([self.wineserver, "-p"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
            self._own_server = True
        return self

    def close(self):
        if self._own_server:
            subprocess.run([self.wineserver, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
            subprocess.run([self.wineserver, "-w"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
            self._own_server = False
        if self._xvfb is not None:
            self._xvfb.terminate()
            try:
                self._xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
                self._xvfb.wait()
            self._xvfb = None

    def _wine_environment(self):
        """The variables scripts/lib/wine-env.sh sets for this arch (so that
        the shell scripts and this harness agree), with the prefix made."""
        env = dict(os.environ)
        if self.prefix:
            env["WINEPREFIX"] = self.prefix
        script = ('source "$1/scripts/lib/wine-env.sh" && sq_wine_env "$2" && '
                  'sq_wine_prefix_ready && env -0')
        out = subprocess.run(["bash", "-c", script, "bash", REPO, self.arch], env=env,
                             stdout=subprocess.PIPE, check=True, timeout=300).stdout
        result = {}
        for item in out.split(b"\0"):
            if b"=" in item:
                k, v = item.split(b"=", 1)
                result[k.decode()] = v.decode(errors="surrogateescape")
        self.prefix = result["WINEPREFIX"]
        return result

    @property
    def wine(self):
        return self.env["SQ_WINE"]

    @property
    def wineserver(self):
        return "/usr/lib/wine/wineserver"

    def _server_running(self):
        """True when a wineserver listens for this prefix (its socket lives
        in a per-user temporary folder named after the prefix's device and
        inode)."""
        st = os.stat(self.prefix)
        tail = "server-%x-%x/socket" % (st.st_dev, st.st_ino)
        for sock in glob.glob("/tmp/.wine-%d/%s" % (os.getuid(), tail)) + glob.glob("/tmp/wine-*/" + tail):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(sock)
                return True
            except OSError:
                pass
            finally:
                s.close()
        return False

    # -- running programs

    def run(self, args, timeout=60, check=True, cwd=None, debug=None):
        """Runs a Wine program to its end; returns the CompletedProcess
        (stdout and stderr as bytes). Output goes through files, not pipes:
        the Wine services a first start launches inherit the descriptors and
        would hold a pipe open long after the program ended."""
        env = dict(self.env)
        if debug is not None:
            env["WINEDEBUG"] = debug
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen([self.wine] + list(args), env=env, cwd=cwd,
                                    stdout=out, stderr=err)
            try:
                code = proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                raise HarnessError("wine %s did not end within %d s" % (" ".join(args), timeout))
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(args, code, out.read(), err.read())
        if check and result.returncode != 0:
            raise HarnessError("wine %s failed (%d): %s" % (
                " ".join(args), result.returncode, result.stderr.decode(errors="replace")))
        return result

    def start_program(self, exe, args=(), cwd=None):
        """Starts a Wine program without waiting; returns its Popen (the Unix
        process is the Windows process, so killing it by pid ends it)."""
        return subprocess.Popen([self.wine, exe] + list(args), cwd=cwd, env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start_updater(self, exe, cwd):
        return UpdaterRun(self, exe, cwd)

    # -- registry, read and written through Wine's own reg.exe

    def reg_add(self, name, data, kind="REG_SZ", key=INSTALL_KEY):
        self.run(["reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f"])

    def reg_delete_key(self, key=INSTALL_KEY):
        self.run(["reg", "delete", key, "/f"], check=False)

    def reg_query(self, key=INSTALL_KEY):
        """The key's values as {name: (type, data text)} from `reg query`, or
        None when the key does not exist."""
        result = self.run(["reg", "query", key], check=False)
        if result.returncode != 0:
            return None
        values = {}
        for line in result.stdout.decode("cp932", errors="replace").splitlines():
            m = re.match(r"^    (.*?)    (REG_[A-Z_]+)    ?(.*)$", line)
            if m:
                values[m.group(1)] = (m.group(2), m.group(3))
        return values

    def write_install_record(self, install_folder=None, version=None):
        """A fresh installation record: the key with "InstallFolder" (unless
        None) and, when `version` is given, "Version" as 4 binary bytes
        (an int) or as the given raw hex text (a str)."""
        self.reg_delete_key()
        if install_folder is not None:
            self.reg_add("InstallFolder", install_folder)
        else:
            self.run(["reg", "add", INSTALL_KEY, "/f"])
        if version is not None:
            data = struct.pack("<I", version).hex() if isinstance(version, int) else version
            self.reg_add("Version", data, kind="REG_BINARY")

    # -- the current user's Start menu

    def programs_folder(self):
        """The Linux path of the user's CSIDL_PROGRAMS folder in the prefix."""
        users = os.path.join(self.prefix, "drive_c", "users")
        tail = os.path.join("AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs")
        for user in [os.environ.get("USER", ""), "root"] + sorted(os.listdir(users)):
            if user and user != "Public" and os.path.isdir(os.path.join(users, user, tail)):
                return os.path.join(users, user, tail)
        raise HarnessError("no Start Menu\\Programs folder under " + users)

    def game_menu_folder(self):
        return os.path.join(self.programs_folder(), *SHORTCUT_FOLDER)

    def shortcut_path(self):
        return os.path.join(self.game_menu_folder(), SHORTCUT_NAME)

    # -- the display

    def visible_windows(self, pid=None):
        """[(window id, name)] of the mapped windows, of one process if pid
        is given (Wine sets _NET_WM_PID to the process's Unix pid)."""
        args = ["xdotool", "search", "--onlyvisible"]
        args += ["--pid", str(pid)] if pid is not None else ["--name", "."]
        out = subprocess.run(args, env=self.env, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=10).stdout.decode()
        result = []
        for wid in out.split():
            name = subprocess.run(["xdotool", "getwindowname", wid], env=self.env,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  timeout=10).stdout.decode("utf-8", errors="replace").rstrip("\n")
            result.append((int(wid), name))
        return result

    def press(self, window, key):
        """Sends `key` to a top-level window of a Wine program."""
        subprocess.run(["xdotool", "key", "--window", str(window), key], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10, check=True)

    def type_into_desktop(self, desktop, key, click_at=(320, 200)):
        """Sends `key` to the window in front inside a Wine desktop window.
        Wine's desktop ignores the synthetic events of press(), and nothing
        inside it is active until clicked: so a click at `click_at` (the
        middle of a centred dialog or message box, on no button), then a
        real (XTEST) key event."""
        x, y = click_at
        subprocess.run(["xdotool", "mousemove", "--window", str(desktop), str(x), str(y), "click", "1",
                        "sleep", "0.3", "key", key], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10, check=True)

    def screenshot(self, path, window="root"):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        subprocess.run(["import", "-window", str(window), path], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=30, check=True)
        return path


class UpdaterRun:
    """One updater process, started in `cwd` with message boxes and window
    texts traced (WINEDEBUG=+msgbox,+win) to a file we read back."""

    def __init__(self, session, exe, cwd):
        self.session = session
        self.exe = exe
        self._log = tempfile.NamedTemporaryFile(prefix="sq-updater-", suffix=".log", delete=False)
        env = dict(session.env)
        env["WINEDEBUG"] = "-all,+msgbox,+win"
        self.proc = subprocess.Popen([session.wine, exe], cwd=cwd, env=env,
                                     stdout=subprocess.DEVNULL, stderr=self._log)
        self.pid = self.proc.pid
        self.seen_windows = set()

    # -- what the user was told

    def log_text(self):
        with open(self._log.name, "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    def messages(self):
        """The texts of every message box shown so far, in order."""
        return [_decode_debugstr(m) for m in _MSGBOX_RE.findall(self.log_text())]

    def window_texts(self):
        """Every text set with SetWindowText so far (the dialog's version and
        install folder among them), in order."""
        return [_decode_debugstr(m) for m in _SETTEXT_RE.findall(self.log_text())]

    # -- windows

    def windows(self):
        return self.session.visible_windows(pid=self.pid)

    def wait_window(self, title=APP_TITLE, timeout=DEFAULT_TIMEOUT):
        """Waits for a visible window of this process with caption `title`
        that was not returned before; returns its id."""
        def new_window():
            if self.proc.poll() is not None:
                raise HarnessError("updater ended (exit %s) while a window titled %r was awaited; "
                                   "messages: %r" % (self.proc.returncode, title, self.messages()))
            for wid, name in self.windows():
                if name == title and wid not in self.seen_windows:
                    return wid
            return None
        wid = poll(new_window, timeout, "a window titled %r" % title)
        self.seen_windows.add(wid)
        return wid

    def wait_message(self, text, title=APP_TITLE, timeout=DEFAULT_TIMEOUT):
        """Waits until a message box with `text` has been shown and its window
        is up; returns the window id."""
        def shown():
            if text in self.messages():
                return True
            if self.proc.poll() is not None:
                raise HarnessError("updater ended (exit %s) before showing %r; messages: %r"
                                   % (self.proc.returncode, text, self.messages()))
            return False
        poll(shown, timeout, "the message %r (shown so far: %r)" % (text, self.messages()))
        return self.wait_window(title, timeout)

    def wait_dialog(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the update dialog (its controls made and filled in) and
        returns its window id."""
        poll(lambda: len(self.dialog_fields()) == 2 or self._ended(), timeout, "the update dialog")
        return self.wait_window(APP_TITLE, timeout)

    def dialog_fields(self):
        """[version text, install folder text] as the dialog showed them: the
        two texts set after the template made its last placeholder control
        ("Static"); fewer while the dialog is not yet up."""
        texts = self.window_texts()
        if "Static" not in texts:
            return []
        last = len(texts) - 1 - texts[::-1].index("Static")
        return [t for t in texts[last + 1:] if t][:2]

    def _ended(self):
        if self.proc.poll() is not None:
            raise HarnessError("updater ended (exit %s) before its dialog; messages: %r"
                               % (self.proc.returncode, self.messages()))
        return False

    def press(self, window, key):
        self.session.press(window, key)

    # -- the end

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise HarnessError("updater did not end within %.0f s; windows: %r; messages: %r"
                               % (timeout, self.windows(), self.messages())) from None

    def kill(self):
        """Ends the process if it still runs (a failed test's leftover)."""
        if self.proc.poll() is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(10)

    def close(self):
        self.kill()
        self._log.close()
        try:
            os.unlink(self._log.name)
        except FileNotFoundError:
            pass


# ---------------------------------------------------------------------------
# Shortcuts


def read_lnk(path):
    """The fields of a .lnk file as liblnk's lnkinfo prints them (ANSI strings
    read as code page 932): a dict of lower-case field names to values, e.g.
    'local path', 'working directory', 'description', 'show window'."""
    result = subprocess.run(["lnkinfo", "-c", "windows-932", path], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=30)
    if result.returncode != 0:
        raise HarnessError("lnkinfo failed on %s: %s" % (path, result.stderr.decode(errors="replace")))
    fields = {}
    for line in result.stdout.decode("utf-8", errors="replace").splitlines():
        m = re.match(r"^\s+([^:\t][^:]*?)\s*:\s*(.*)$", line)
        if m:
            fields.setdefault(m.group(1).strip().lower(), m.group(2).strip())
    fields["_text"] = result.stdout.decode("utf-8", errors="replace")
    return fields


def lnk_header(path):
    """The fixed 76-byte header of a .lnk file (the documented Shell Link
    layout): link flags, icon index and show command. lnkinfo 20181227 prints
    0 as "Show Window value" whatever the header holds, so the show command is
    read here."""
    with open(path, "rb") as f:
        head = f.read(76)
    if len(head) < 76 or struct.unpack_from("<I", head, 0)[0] != 0x4C:
        raise HarnessError("%s is no shell link" % path)
    return {
        "clsid": head[4:20].hex(),
        "link flags": struct.unpack_from("<I", head, 0x14)[0],
        "icon index": struct.unpack_from("<i", head, 0x38)[0],
        "show command": struct.unpack_from("<I", head, 0x3C)[0],
    }


def pack_with_sqpack(sqpack, container, payloads, staging):
    """Builds `container` from `payloads` with the publisher's tool, as a
    release would, and checks with `sqpack verify` that the updater can reach
    every payload before anyone runs it."""
    shutil.rmtree(staging, ignore_errors=True)
    os.makedirs(staging)
    files = []
    for name, data in payloads.items():
        files.append(os.path.join(staging, name))
        with open(files[-1], "wb") as f:
            f.write(data)
    subprocess.run([sqpack, "create", container] + files, check=True)
    subprocess.run([sqpack, "verify", container, "--expect"] + list(payloads), check=True)
    print("demo: sqpack verify: all %d payloads reachable in %s" % (len(payloads), container))
    shutil.rmtree(staging, ignore_errors=True)


# ---------------------------------------------------------------------------
# The demonstration: a Starquill 1.000 installation updated to 1.30


def _desktop_window(session):
    for wid, name in session.visible_windows():
        if "Wine desktop" in name:
            return wid
    return None


def _screenshot_when_drawn(session, window, path):
    """Waits a moment for Wine to paint, then grabs the window."""
    time.sleep(1.5)
    return session.screenshot(path, window)


def demo(exe, arch, out, interactive, docs_copy=None, sqpack=None):
    """Makes a demo installation in a private prefix under `out`, runs the
    updater from a folder holding UpdateData.dat and prints what changed.
    Headless, it presses 更新 and OK itself inside a 640×480 Wine desktop (so
    that the screenshots show window captions) and saves dialog.png and
    complete.png in `out`. With `sqpack`, the container is made and verified
    by that tool. Returns the process exit status for the script."""
    out = os.path.abspath(out)
    os.makedirs(out, exist_ok=True)
    session = WineSession(arch, prefix=os.path.join(out, "wineprefix-" + arch))
    print("demo: Wine prefix %s (%s)" % (os.path.join(out, "wineprefix-" + arch), arch))
    with session:
        if interactive:
            session.run(["reg", "delete", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/f"], check=False)
        else:
            session.reg_add("Desktop", "Default", key=r"HKCU\Software\Wine\Explorer")
            session.reg_add("Default", "640x480", key=r"HKCU\Software\Wine\Explorer\Desktops")

        # The game as its installer left it: version 1.000 files, the record
        # without "Version", the maker's folder in the Start menu.
        install_linux = os.path.join(session.prefix, "drive_c", "Games", "Starquill")
        shutil.rmtree(install_linux, ignore_errors=True)
        install = Installation(install_linux)
        install_windows = r"C:\Games\Starquill"
        session.write_install_record(install_windows)
        menu = session.game_menu_folder()
        os.makedirs(menu, exist_ok=True)
        if os.path.exists(session.shortcut_path()):
            os.unlink(session.shortcut_path())

        update = os.path.join(out, "update")
        shutil.rmtree(update, ignore_errors=True)
        os.makedirs(update)
        payloads = new_payloads()
        container = os.path.join(update, CONTAINER_NAME)
        if sqpack:
            pack_with_sqpack(sqpack, container, payloads, os.path.join(out, "payloads"))
        else:
            write_container(container, payloads)
        shutil.copy(exe, os.path.join(update, os.path.basename(exe)))
        print("demo: installation %s (Linux %s), registry record without Version" % (install_windows, install_linux))
        print("demo: update folder %s: %s with %d payloads" % (update, CONTAINER_NAME, len(payloads)))
        before = session.reg_query()

        run = session.start_updater(os.path.join(update, os.path.basename(exe)), update)
        try:
            if interactive:
                print("demo: the updater is up on %s; press 更新 (or 終了) and answer its messages." %
                      session.env["DISPLAY"])
                code = run.wait_exit(timeout=3600)
            else:
                poll(lambda: len(run.dialog_fields()) == 2 or run._ended(), DEFAULT_TIMEOUT, "the update dialog")
                desktop = poll(lambda: _desktop_window(session), DEFAULT_TIMEOUT, "the Wine desktop window")
                shot = _screenshot_when_drawn(session, desktop, os.path.join(out, "dialog.png"))
                print("demo: the dialog shows version %s and folder %s; screenshot %s" %
                      (run.dialog_fields()[0], run.dialog_fields()[1], shot))
                if docs_copy:
                    os.makedirs(os.path.dirname(os.path.abspath(docs_copy)), exist_ok=True)
                    shutil.copy(shot, docs_copy)
                    print("demo: copied to %s" % docs_copy)
                session.type_into_desktop(desktop, "Return")
                print("demo: pressed 更新")
                poll(lambda: run.messages() or run.proc.poll() is not None, 120, "a message from the updater")
                shot = _screenshot_when_drawn(session, desktop, os.path.join(out, "complete.png"))
                print("demo: the updater says %r; screenshot %s" % (run.messages()[-1:], shot))
                session.type_into_desktop(desktop, "Return")
                print("demo: pressed OK")
                code = run.wait_exit()
            messages = run.messages()
        finally:
            run.close()

        print()
        print("Result")
        print("  exit code: %d" % code)
        print("  messages shown: %s" % " / ".join(m.replace("\n", " ") for m in messages))
        after = session.reg_query() or {}
        version = after.get("Version")
        if version is None:
            print("  registry Version: not recorded (before: %s)" % (before.get("Version", "absent"),))
        else:
            raw = bytes.fromhex(version[1])
            number = struct.unpack("<I", raw)[0] if len(raw) == 4 else None
            print("  registry Version: %s %s = %s" % (version[0], raw.hex(" "), number))
        replaced = 0
        for name in UPDATE_FILES:
            data = install.read(name)
            old = install.files[name]
            same = data == payloads[name]
            replaced += same
            print("  %-15s %9d -> %9d bytes  sha256 %s  %s" % (
                name, len(old), len(data), sha256(data)[:16],
                "matches the payload" if same else "NOT the payload"))
        link = session.shortcut_path()
        if os.path.exists(link):
            info = read_lnk(link)
            head = lnk_header(link)
            print("  shortcut: %s" % link)
            print("    target %s, working directory %s" % (info.get("local path"), info.get("working directory")))
            print("    description %s, show command %d" % (info.get("description"), head["show command"]))
        else:
            print("  shortcut: none at %s" % link)
        ok = (code == 0 and replaced == len(UPDATE_FILES) and version is not None
              and version == ("REG_BINARY", "14050000") and os.path.exists(link))
        print()
        print("demo: %s" % ("the installation is now 1.30" if ok else "the update did not complete"))
        return 0 if ok else 1


def _main(argv):
    import argparse
    parser = argparse.ArgumentParser(description="Starquill updater harness")
    sub = parser.add_subparsers(dest="command", required=True)
    d = sub.add_parser("demo", help="update a demo installation")
    d.add_argument("--exe", required=True)
    d.add_argument("--arch", required=True, choices=["win32", "win64"])
    d.add_argument("--out", required=True, help="folder for the prefix, the update and the screenshots")
    d.add_argument("--interactive", action="store_true", help="let the user click on the present display")
    d.add_argument("--docs-copy", help="where to copy the dialog screenshot as well")
    d.add_argument("--sqpack", help="make UpdateData.dat with this sqpack and verify it")
    args = parser.parse_args(argv)
    return demo(os.path.abspath(args.exe), args.arch, args.out, args.interactive, args.docs_copy,
                args.sqpack)


if __name__ == "__main__":
    import sys
    sys.exit(_main(sys.argv[1:]))
