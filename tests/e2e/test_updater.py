"""End-to-end tests: the real StarquillUpdate.exe under Wine on an X display,
driven by key presses like a user; what it did is read back with Wine's reg.exe,
lnkinfo and the files themselves, what it said from Wine's message-box trace.

    /usr/bin/python3 tests/e2e/test_updater.py --exe build/win64/StarquillUpdate.exe \
        --arch win64 [unittest arguments, e.g. FreshInstallTest]

The tests share the registry key HKCU\\Software\\Orvelle\\Starquill of the prefix
and the updater's single-instance mutex, so they must not run in parallel.
"""

import argparse
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "lib"))
import harness as h  # noqa: E402

EXE = None
ARCH = None
HOLD_FILE_EXE = None
SESSION = None


def setUpModule():
    global SESSION
    session = h.WineSession(ARCH)
    try:
        session.start()
    except BaseException:
        session.close()  # an Xvfb or wineserver it got as far as starting
        raise
    SESSION = session


def tearDownModule():
    if SESSION is not None:
        SESSION.close()


class UpdaterTestCase(unittest.TestCase):
    """Gives each test a scratch folder (seen by Wine through Z:), a clean
    installation record and Start menu, and removes all of it afterwards,
    including any updater process still running."""

    maxDiff = None

    def setUp(self):
        self.session = SESSION
        self.session.reg_delete_key()  # a leftover of an interrupted run
        self._begin()

    def _begin(self):
        self.root = tempfile.mkdtemp(prefix="sq-e2e-")
        self.runs = []
        self.made_menu_folders = []
        self._remove_shortcut()
        self.addCleanup(self._clean, self.root, self.runs, self.made_menu_folders)

    def next_case(self):
        """Between the rows of a table: cleans up the last row, starts afresh."""
        self.doCleanups()
        self._begin()

    def _clean(self, root, runs, made_menu_folders):
        for run in runs:
            run.close()
        self.session.reg_delete_key()
        self._remove_shortcut()
        for folder in reversed(made_menu_folders):
            try:
                os.rmdir(folder)
            except OSError:
                pass
        shutil.rmtree(root, ignore_errors=True)

    def _remove_shortcut(self):
        try:
            os.unlink(self.session.shortcut_path())
        except FileNotFoundError:
            pass

    # -- set-up helpers

    def make_installation(self, name="Starquill"):
        return h.Installation(os.path.join(self.root, name))

    def make_update_folder(self, payloads, wide=True, loose=()):
        """A folder holding UpdateData.dat with `payloads`; names in `loose`
        are written there as loose files instead."""
        folder = os.path.join(self.root, "update")
        os.makedirs(folder, exist_ok=True)
        packed = {n: d for n, d in payloads.items() if n not in loose}
        h.write_container(os.path.join(folder, h.CONTAINER_NAME), packed, wide=wide, gap=7)
        for name in loose:
            with open(os.path.join(folder, name), "wb") as out:
                out.write(payloads[name])
        return folder

    def make_menu_folder(self):
        """The game's Start-menu folder, as the game's installer leaves it."""
        path = self.session.programs_folder()
        for part in h.SHORTCUT_FOLDER:
            path = os.path.join(path, part)
            if not os.path.isdir(path):
                os.mkdir(path)
                self.made_menu_folders.append(path)
        return path

    def start(self, cwd):
        run = self.session.start_updater(EXE, cwd)
        self.runs.append(run)
        return run

    # -- checks

    def assert_files(self, install, expected):
        """Every one of the seven files holds exactly `expected[name]`, and
        nothing else (no temporary file) is left in the folder."""
        for name in h.UPDATE_FILES:
            data = install.read(name)
            self.assertEqual((len(data), h.sha256(data)), (len(expected[name]), h.sha256(expected[name])),
                             "content of " + name)
        self.assertEqual(install.listing(), sorted(h.UPDATE_FILES))

    def assert_record(self, install, version_hex):
        """The registry record holds InstallFolder unchanged and Version as
        REG_BINARY `version_hex` (None: no Version value)."""
        values = self.session.reg_query()
        self.assertIsNotNone(values, "the installation key is gone")
        self.assertEqual(values.get("InstallFolder"), ("REG_SZ", install.windows_folder))
        if version_hex is None:
            self.assertNotIn("Version", values)
        else:
            self.assertEqual(values.get("Version"), ("REG_BINARY", version_hex))
        self.assertEqual(sorted(values), sorted(["InstallFolder"] + (["Version"] if version_hex else [])))

    def update_through_dialog(self, run, expected_version_text, install):
        """Presses 更新 in the dialog and OK on the completion message; checks
        what the dialog showed; returns the exit code."""
        dialog = run.wait_dialog()
        self.assertEqual(run.dialog_fields(), [expected_version_text, install.windows_folder])
        run.press(dialog, "Return")
        done = run.wait_message(h.TEXT_COMPLETE)
        run.press(done, "Return")
        return run.wait_exit()


class FreshInstallTest(UpdaterTestCase):
    """An installation whose record has no Version, updated to 1.30."""

    def test_update_replaces_files_records_version_and_adds_shortcut(self):
        # A Japanese folder name whose ソ and 表 carry the byte 0x5C in Shift-JIS.
        install = self.make_installation("Starquill ソフト表")
        payloads = h.new_payloads()
        update = self.make_update_folder(payloads)
        self.session.write_install_record(install.windows_folder)
        self.make_menu_folder()

        run = self.start(update)
        self.assertEqual(self.update_through_dialog(run, "1.000", install), 0)

        self.assertEqual(run.messages(), [h.TEXT_COMPLETE])
        self.assert_files(install, payloads)
        self.assert_record(install, "14050000")

        link = self.session.shortcut_path()
        self.assertTrue(os.path.isfile(link), "no shortcut at " + link)
        info = h.read_lnk(link)
        self.assertEqual(info.get("local path"), install.windows_folder + "\\" + h.SHORTCUT_TARGET, info["_text"])
        self.assertEqual(info.get("working directory"), install.windows_folder, info["_text"])
        self.assertEqual(info.get("description"), h.SHORTCUT_DESCRIPTION, info["_text"])
        self.assertNotIn("command line arguments", info, info["_text"])
        self.assertNotIn("icon location", info, info["_text"])
        self.assertEqual(h.lnk_header(link)["show command"], 1)  # SW_SHOWNORMAL

    def test_loose_payload_in_the_current_folder_wins_over_the_container(self):
        install = self.make_installation()
        payloads = h.new_payloads()
        loose = dict(payloads)
        loose["Catalog.ini"] = h.make_content("loose Catalog.ini", 777, "loose")
        update = self.make_update_folder(payloads, wide=False)  # narrow layout, all seven packed
        with open(os.path.join(update, "Catalog.ini"), "wb") as out:
            out.write(loose["Catalog.ini"])
        self.session.write_install_record(install.windows_folder)

        run = self.start(update)
        self.assertEqual(self.update_through_dialog(run, "1.000", install), 0)
        self.assert_files(install, loose)
        self.assert_record(install, "14050000")


class SecondInstanceTest(UpdaterTestCase):
    def test_second_start_ends_at_once_without_window_and_first_still_works(self):
        install = self.make_installation()
        payloads = h.new_payloads()
        update = self.make_update_folder(payloads)
        self.session.write_install_record(install.windows_folder)

        first = self.start(update)
        dialog = first.wait_dialog()

        second = self.start(update)
        self.assertEqual(second.wait_exit(), 0)
        self.assertEqual(second.messages(), [])
        self.assertNotIn(h.APP_TITLE, second.window_texts(), "the second updater made a window")
        self.assertEqual(second.dialog_fields(), [])
        self.assertEqual(second.windows(), [])
        self.assert_files(install, install.files)

        # The first one is still there and completes the update.
        self.assertIsNone(first.proc.poll())
        first.press(dialog, "Return")
        first.press(first.wait_message(h.TEXT_COMPLETE), "Return")
        self.assertEqual(first.wait_exit(), 0)
        self.assert_files(install, payloads)
        self.assert_record(install, "14050000")


class QuitTest(UpdaterTestCase):
    """Leaving without updating changes nothing."""

    CASES = [
        # (name, recorded Version, key presses as (awaited message or None for the dialog, key))
        ("escape in the dialog, no Version", None, [(None, "Escape")]),
        ("cancel on the overwrite question, Version 1300", 1300, [(h.TEXT_OVERWRITE, "Escape")]),
        ("OK on the overwrite question, then escape in the dialog", 1301,
         [(h.TEXT_OVERWRITE, "Return"), (None, "Escape")]),
    ]

    def test_nothing_changes(self):
        for index, (name, version, steps) in enumerate(self.CASES):
            with self.subTest(name):
                if index:
                    self.next_case()
                install = self.make_installation()
                update = self.make_update_folder(h.new_payloads())
                self.session.write_install_record(install.windows_folder, version)
                self.make_menu_folder()
                before = self.session.reg_query()

                run = self.start(update)
                for message, key in steps:
                    window = run.wait_dialog() if message is None else run.wait_message(message)
                    run.press(window, key)
                self.assertEqual(run.wait_exit(), 0)

                self.assertEqual(run.messages(), [m for m, _ in steps if m is not None])
                self.assertEqual(self.session.reg_query(), before)
                self.assert_files(install, install.files)
                self.assertFalse(os.path.exists(self.session.shortcut_path()))


class ShortcutTableTest(UpdaterTestCase):
    """Which updates add the 30-FPS shortcut."""

    CASES = [
        # (name, recorded Version (a number: 4 binary bytes; text: raw hex bytes),
        #  make the game's Start-menu folder, dialog text, shortcut expected)
        ("Version 1300, overwrite confirmed", 1300, True, "1.300", False),
        ("Version 1200", 1200, True, "1.200", False),
        ("Version exactly 1000", 1000, True, "1.000", True),
        ("Version of 8 bytes, which counts as none", "1405000000000000", True, "1.000", True),
        ("no Version, no Start-menu folder", None, False, "1.000", False),
    ]

    def test_table(self):
        for index, (name, version, menu_folder, version_text, shortcut) in enumerate(self.CASES):
            with self.subTest(name):
                if index:
                    self.next_case()
                install = self.make_installation()
                payloads = h.new_payloads()
                update = self.make_update_folder(payloads)
                self.session.write_install_record(install.windows_folder, version)
                if menu_folder:
                    self.make_menu_folder()
                else:
                    self.assertFalse(os.path.exists(self.session.game_menu_folder()),
                                     "precondition: the prefix has no game Start-menu folder")

                run = self.start(update)
                expected_messages = [h.TEXT_COMPLETE]
                if isinstance(version, int) and version >= 1300:
                    run.press(run.wait_message(h.TEXT_OVERWRITE), "Return")
                    expected_messages.insert(0, h.TEXT_OVERWRITE)
                self.assertEqual(self.update_through_dialog(run, version_text, install), 0)

                self.assertEqual(run.messages(), expected_messages)
                self.assert_files(install, payloads)
                self.assert_record(install, "14050000")
                link = self.session.shortcut_path()
                self.assertEqual(os.path.exists(link), shortcut, link)
                if shortcut:
                    self.assertEqual(h.read_lnk(link).get("local path"),
                                     install.windows_folder + "\\" + h.SHORTCUT_TARGET)
                if not menu_folder:
                    # The updater does not make the maker's folder itself.
                    self.assertFalse(os.path.exists(os.path.join(self.session.programs_folder(),
                                                                 h.SHORTCUT_FOLDER[0])))


class NotInstalledTest(UpdaterTestCase):
    CASES = [
        # (name, how the record looks)
        ("no key", "none"),
        ("key without InstallFolder", "no folder"),
        ("empty InstallFolder", "empty"),
    ]

    def test_table(self):
        for index, (name, record) in enumerate(self.CASES):
            with self.subTest(name):
                if index:
                    self.next_case()
                update = self.make_update_folder(h.new_payloads())
                if record == "no folder":
                    self.session.write_install_record(None)
                elif record == "empty":
                    self.session.write_install_record("")
                before = self.session.reg_query()

                run = self.start(update)
                box = run.wait_message(h.TEXT_NOT_INSTALLED)
                self.assertEqual(run.dialog_fields(), [], "a dialog came up")
                run.press(box, "Return")
                self.assertEqual(run.wait_exit(), 0)
                self.assertEqual(run.messages(), [h.TEXT_NOT_INSTALLED])
                self.assertEqual(self.session.reg_query(), before)


class FileInUseTest(UpdaterTestCase):
    """The third file is held open by another program (as by the running
    game) while the user presses 更新."""

    def test_update_stops_at_the_held_file_and_records_nothing(self):
        if not HOLD_FILE_EXE:
            self.skipTest("no --hold-file helper given")
        install = self.make_installation()
        payloads = h.new_payloads()
        update = self.make_update_folder(payloads)
        self.session.write_install_record(install.windows_folder)
        self.make_menu_folder()
        before = self.session.reg_query()

        held_name = h.UPDATE_FILES[2]  # delta110.dat
        ready = os.path.join(self.root, "held")
        release = os.path.join(self.root, "release")
        holder = self.session.start_program(
            HOLD_FILE_EXE, [install.windows_folder + "\\" + held_name, h.windows_path(ready),
                            h.windows_path(release)], cwd=self.root)
        self.addCleanup(holder.kill)
        h.poll(lambda: os.path.exists(ready) or holder.poll() is not None, 30, "the file to be held")
        self.assertIsNone(holder.poll(), "the helper could not hold %s" % held_name)

        run = self.start(update)
        dialog = run.wait_dialog()
        run.press(dialog, "Return")
        run.press(run.wait_message(h.file_error_text(held_name), title=h.ERROR_TITLE), "Return")
        run.press(run.wait_message(h.TEXT_FAILED), "Return")
        self.assertEqual(run.wait_exit(), 0)
        self.assertEqual(run.messages(), [h.file_error_text(held_name), h.TEXT_FAILED])

        with open(release, "w"):
            pass
        self.assertEqual(holder.wait(30), 0)

        # The files before the held one are new, it and those after are old.
        expected = dict(install.files)
        for name in h.UPDATE_FILES[:2]:
            expected[name] = payloads[name]
        self.assert_files(install, expected)
        self.assertEqual(self.session.reg_query(), before)
        self.assertFalse(os.path.exists(self.session.shortcut_path()))


def main():
    global EXE, ARCH, HOLD_FILE_EXE
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--arch", required=True, choices=["win32", "win64"])
    parser.add_argument("--hold-file", help="the hold_file.exe helper (FileInUseTest)")
    args, rest = parser.parse_known_args()
    HOLD_FILE_EXE = os.path.abspath(args.hold_file) if args.hold_file else None
    EXE = os.path.abspath(args.exe)
    ARCH = args.arch
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
