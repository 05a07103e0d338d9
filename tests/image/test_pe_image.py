#!/usr/bin/python3
"""Checks the shipped StarquillUpdate.exe image with pefile, a reader we did
not write: PE32 GUI program, large-address-aware, only system DLLs, the
dialog template, the version resource, the manifest and the Shift-JIS texts.

    test_pe_image.py PATH/TO/StarquillUpdate.exe
"""
import struct
import sys
import unittest
import xml.etree.ElementTree as ET

import pefile

EXE = None
APP_TITLE = "Starquill アップデート Ver1.30"
SYSTEM_DLLS = {"ADVAPI32.DLL", "KERNEL32.DLL", "SHELL32.DLL", "USER32.DLL", "MSVCRT.DLL", "OLE32.DLL"}

WS_CHILD, WS_VISIBLE, WS_TABSTOP, WS_GROUP = 0x40000000, 0x10000000, 0x00010000, 0x00020000
BUTTON, STATIC = 0x80, 0x82
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_GROUPBOX = 0, 1, 7
SS_LEFT, SS_RIGHT = 0, 2

# kind style bits, class, id, text, x, y, cx, cy — in template order.
DIALOG_CONTROLS = [
    (BUTTON, BS_DEFPUSHBUTTON | WS_TABSTOP, 1, "更新", 75, 124, 50, 14),
    (BUTTON, BS_PUSHBUTTON | WS_TABSTOP, 2, "終了", 138, 124, 50, 14),
    (STATIC, SS_LEFT | WS_GROUP, 0xFFFFFFFF, "現在のバージョン", 12, 14, 71, 9),
    (STATIC, SS_RIGHT | WS_GROUP, 1000, "-----", 123, 13, 60, 9),
    (STATIC, SS_LEFT | WS_GROUP, 0xFFFFFFFF, "この更新では、セーブデータの引継ぎが可能です。", 10, 71, 170, 9),
    (STATIC, SS_LEFT | WS_GROUP, 0xFFFFFFFF, "※この更新はシステムの不具合修正をメインとしております。", 9, 85, 175, 24),
    (BUTTON, BS_GROUPBOX, 0xFFFFFFFF, "", 7, 62, 181, 53),
    (BUTTON, BS_GROUPBOX, 0xFFFFFFFF, "", 7, 5, 181, 22),
    (STATIC, SS_LEFT | WS_GROUP, 0xFFFFFFFF, "インストール先", 11, 34, 71, 9),
    (STATIC, SS_RIGHT | WS_GROUP, 1001, "Static", 18, 49, 164, 9),
    (BUTTON, BS_GROUPBOX, 0xFFFFFFFF, "", 6, 25, 181, 39),
]

MESSAGE_TEXTS = [
    "Starquillがインストールされていません。インストールが終了してから再度アップデートを行って下さいませ。",
    "既にこのバージョンのアップデートは終了しています。\n上書きアップデートしますか？",
    "レジストリエラー",
    "更新は完了しました。",
    "更新ファイル書き込みに失敗しました。ゲームが起動されている場合は、終了してから再度実行して下さい。",
    "ファイルが書き込めません。[%s]",
    "エラー",
    "テセルカ３０ＦＰＳ.lnk",
    "ゲームを３０ＦＰＳで起動します",
    APP_TITLE,
]


class Reader:
    """Walks a resource's bytes with DWORD alignment as templates need."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def sz_or_ord(self):
        if struct.unpack_from("<H", self.data, self.pos)[0] == 0xFFFF:
            self.pos += 2
            return self.take("H")
        end = self.pos
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        text = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return text

    def align(self):
        self.pos = (self.pos + 3) & ~3


def resource(pe, type_id, name_id):
    """(language id, bytes) of the one resource of that type and name."""
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if rtype.id != type_id:
            continue
        for rname in rtype.directory.entries:
            if rname.id == name_id:
                (lang,) = rname.directory.entries
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                return lang.id, data
    raise AssertionError(f"resource {type_id}/{name_id} missing")


class ShippedImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)
        with open(EXE, "rb") as f:
            cls.raw = f.read()

    def test_is_a_large_address_aware_32_bit_gui_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, 0x10B)  # PE32
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 2)  # IMAGE_SUBSYSTEM_WINDOWS_GUI
        self.assertTrue(self.pe.FILE_HEADER.Characteristics & 0x20)  # LARGE_ADDRESS_AWARE

    def test_needs_no_dll_beyond_the_system(self):
        dlls = {entry.dll.decode().upper() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertLessEqual(dlls, SYSTEM_DLLS)

    def test_has_no_icon(self):
        types = {t.id for t in self.pe.DIRECTORY_ENTRY_RESOURCE.entries}
        self.assertFalse(types & {3, 14})  # RT_ICON, RT_GROUP_ICON

    def test_dialog_template(self):
        lang, data = resource(self.pe, 5, 101)
        self.assertEqual(lang, 0x0411)
        r = Reader(data)
        version, signature, help_id, ex_style, style, count, x, y, cx, cy = r.take("HHIIIHhhhh")
        self.assertEqual((version, signature, help_id), (1, 0xFFFF, 0))
        self.assertEqual((ex_style, style), (0, 0x80C808C0))
        self.assertEqual((count, x, y, cx, cy), (11, 0, 0, 195, 145))
        self.assertEqual(r.sz_or_ord(), "")  # no menu
        self.assertEqual(r.sz_or_ord(), "")  # default class
        self.assertEqual(r.sz_or_ord(), APP_TITLE)
        point_size, _weight, _italic, _charset = r.take("HHBB")
        self.assertEqual(point_size, 9)
        self.assertEqual(r.sz_or_ord(), "ＭＳ Ｐゴシック")
        for i, (cls, bits, cid, text, ix, iy, icx, icy) in enumerate(DIALOG_CONTROLS):
            with self.subTest(control=i):
                r.align()
                _help, item_ex_style, item_style, *geometry, item_id = r.take("IIIhhhhI")
                self.assertEqual(r.sz_or_ord(), cls)
                self.assertEqual(r.sz_or_ord(), text)
                extra = r.take("H")
                r.pos += extra
                self.assertEqual(item_ex_style, 0)
                self.assertEqual(item_style, WS_CHILD | WS_VISIBLE | bits)
                self.assertEqual(geometry, [ix, iy, icx, icy])
                self.assertEqual(item_id, cid)

    def test_version_resource(self):
        (info,) = [i for i in self.pe.VS_FIXEDFILEINFO]
        self.assertEqual((info.FileVersionMS, info.FileVersionLS), (0x00000001, 0))
        self.assertEqual((info.ProductVersionMS, info.ProductVersionLS), (0x00010001, 0))
        self.assertEqual(info.FileType, 1)  # VFT_APP
        tables = {}
        for file_info in self.pe.FileInfo[0]:
            for table in getattr(file_info, "StringTable", []):
                tables[table.LangID.decode()] = {
                    k.decode("utf-8"): v.decode("utf-8") for k, v in table.entries.items()}
        strings = tables["041104b0"]
        self.assertEqual(strings["FileDescription"], "Update アプリケーション")
        self.assertEqual(strings["Comments"], APP_TITLE)

    def test_manifest(self):
        _lang, data = resource(self.pe, 24, 1)
        root = ET.fromstring(data)
        v1, v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
        level = root.find(f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/{v3}requestedExecutionLevel")
        self.assertEqual(level.get("level"), "highestAvailable")
        self.assertEqual(level.get("uiAccess"), "false")
        dependencies = [e.get("name") for e in root.iter(f"{v1}assemblyIdentity")]
        self.assertIn("Microsoft.Windows.Common-Controls", dependencies)
        settings = root.find(f"{v3}application/{v3}windowsSettings")
        self.assertEqual(
            settings.find("{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware").text, "true")
        self.assertEqual(
            settings.find("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness").text,
            "PerMonitorV2")
        compat = "{urn:schemas-microsoft-com:compatibility.v1}"
        systems = {e.get("Id") for e in root.iter(f"{compat}supportedOS")}
        self.assertEqual(systems, {
            "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
        })

    def test_message_texts_are_stored_as_shift_jis(self):
        for text in MESSAGE_TEXTS:
            with self.subTest(text=text):
                self.assertIn(text.encode("cp932") + b"\0", self.raw)
        # The overwrite question's two lines are parted by one line-feed byte.
        self.assertIn("しています。".encode("cp932") + b"\x0a" + "上書き".encode("cp932"), self.raw)


if __name__ == "__main__":
    EXE = sys.argv.pop(1)
    unittest.main()
