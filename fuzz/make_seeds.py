#!/usr/bin/env python3
"""Writes the small seed corpora of the fuzz targets into corpus/<target>/.

The seeds are committed; run this again only to change them. Every layout
follows what the target reads first (FuzzedDataProvider: a random-length
string ends at a backslash followed by another character; integers are taken
from the end of the input).
"""
import hashlib
import io
import os
import shutil
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def split(text: bytes) -> bytes:
    """A random-length string field followed by the rest of the input."""
    return text.replace(b"\\", b"\\\\") + b"\\;"


def put(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def zip_bytes(entries, comment=b"", compression=zipfile.ZIP_DEFLATED):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as z:
        for name, content in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
            info.compress_type = compression
            z.writestr(info, content)
        z.comment = comment
    return buffer.getvalue()


def pe_dll(exports, pe32_plus):
    """A minimal Windows library image with one section holding the exports."""
    file_align, section_rva = 0x200, 0x1000
    names = sorted(exports)
    # Export section: directory, address table, name pointers, ordinals, names.
    directory_size = 40
    functions = directory_size
    name_pointers = functions + 4 * len(names)
    ordinals = name_pointers + 4 * len(names)
    strings = ordinals + 2 * len(names)
    dll_name = b"seed.dll\0"
    blob = bytearray()
    string_offsets = []
    cursor = strings + len(dll_name)
    for n in names:
        string_offsets.append(cursor)
        cursor += len(n) + 1
    blob += struct.pack("<IIHHIIIIIII", 0, 0, 0, 0, section_rva + strings, 1, len(names), len(names),
                        section_rva + functions, section_rva + name_pointers, section_rva + ordinals)
    for i in range(len(names)):
        blob += struct.pack("<I", 0x2000 + 16 * i)
    for off in string_offsets:
        blob += struct.pack("<I", section_rva + off)
    for i in range(len(names)):
        blob += struct.pack("<H", i)
    blob += dll_name
    for n in names:
        blob += n.encode() + b"\0"
    raw_size = (len(blob) + file_align - 1) // file_align * file_align
    blob += b"\0" * (raw_size - len(blob))

    optional_size = 240 if pe32_plus else 224
    headers = bytearray(b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40))
    headers += b"PE\0\0"
    headers += struct.pack("<HHIIIHH", 0x8664 if pe32_plus else 0x14C, 1, 0, 0, 0, optional_size, 0x2102)
    optional = bytearray()
    if pe32_plus:
        optional += struct.pack("<HBBIIIII", 0x20B, 14, 0, 0, raw_size, 0, 0, 0x1000)
        optional += struct.pack("<Q", 0x180000000)
    else:
        optional += struct.pack("<HBBIIIIII", 0x10B, 14, 0, 0, raw_size, 0, 0, 0x1000, 0)
        optional += struct.pack("<I", 0x10000000)
    optional += struct.pack("<IIHHHHHHIIIIHH", 0x1000, file_align, 6, 0, 0, 0, 6, 0, 0, 0x2000, 0x200, 0, 2, 0)
    if pe32_plus:
        optional += struct.pack("<QQQQ", 0x100000, 0x1000, 0x100000, 0x1000)
    else:
        optional += struct.pack("<IIII", 0x100000, 0x1000, 0x100000, 0x1000)
    optional += struct.pack("<II", 0, 16)
    optional += struct.pack("<II", section_rva, len(blob))
    optional += b"\0" * (8 * 15)
    assert len(optional) == optional_size, (len(optional), optional_size)
    headers += optional
    headers += struct.pack("<8sIIIIIIHHI", b".edata", raw_size, section_rva, raw_size, file_align, 0, 0, 0, 0,
                           0x40000040)
    headers += b"\0" * (file_align - len(headers))
    return bytes(headers + blob)


def chunk_index(lengths, fine_lengths, coarse=(1024, 4096, 16384), fine=(128, 512, 2048)):
    """A chunk index head and fine file (see src/delta/chunk_index.h) with the
    given coarse lengths and, for each, its fine lengths; hashes made up,
    except the fine sections' own."""
    entries, fine_file = b"", b""
    for length, pieces in zip(lengths, fine_lengths):
        section = b"".join(struct.pack("<I", p) + bytes(16) for p in pieces)
        entries += struct.pack("<IIQ", length, len(pieces), len(fine_file)) + bytes(16)
        entries += hashlib.sha256(section).digest()[:16] + bytes(8)
        fine_file += section
    head = b"KVCHIDX1" + struct.pack("<6IQ", *coarse, *fine, sum(lengths)) + bytes(32)
    head += struct.pack("<II", len(lengths), 0) + entries
    return head, fine_file


def main():
    shutil.rmtree(CORPUS, ignore_errors=True)

    for i, text in enumerate([
            b"enableAudio: true\nvolume: 50\nmusicVolume: 30\n",
            b"\xef\xbb\xbfserver: 1\r\nsiteHost: 127.0.0.1:8443\r\ncaFile: /tmp/ca.pem\r\n",
            b"account: me\npassword: secret\nno colon here\n a : b : c \n:\n\n",
            b"width: 2147483648\nheight: -2147483649\nx:  -12abc\ny: +0\nz: 0x10\n",
            b"key\0with nul: va\0lue\nkey: first\nkey: second",
    ]):
        put("settings", "seed%d" % i, text)

    for i, (key, system, config) in enumerate([
            (b"volume", b"server: 1\nsiteHost: localhost\n", b"enableAudio: true\nvolume: 50\n"),
            (b"enableAudio", b"\xef\xbb\xbfserver: 7\r\nmachine_id: abc\r\n", b"enableAudio: false\r\n"),
            (b"", b"", b""),
    ]):
        put("settings_store", "seed%d" % i, split(key) + split(system) + config + struct.pack("<i", 1 + i))

    good = (b'[{"path": "a.pak", "hash": "h1", "size": 10},'
            b' {"path": "data/b.pak", "hash": "h2", "size": 0},'
            b' {"path": "vdclient_gl_x64.zip", "hash": "h3", "size": 2048},'
            b' {"path": "vdclient_dx_x64.zip", "hash": "h4"}]')
    remote_docs = [
        good,
        b"[]",
        b'[{"path":"a.pak","hash":"1"},{"path":"a.pak","hash":"2"}]',
        b'[{"path":"../x","hash":"1"},{"path":"/etc/x","hash":"2","size":-1}]',
        b'[{"path":"a","hash":"1","size":9223372036854775807},{"path":"b","hash":"2","size":9223372036854775807}]',
        b'[{"path":"a","hash":null,"size":1e30,"extra":{"k":[1,2]}}]',
        b'{"path":"a","hash":"h"}',
        b"<html><body>404</body></html>",
        b'[{"path":"data/CON.pak","hash":"x"},{"path":"manifest.json","hash":"y"}]',
    ]
    for i, doc in enumerate(remote_docs):
        put("remote_manifest", "seed%d" % i, split(remote_docs[(i + 2) % len(remote_docs)]) + doc + bytes([i % 4]))
    for i, doc in enumerate(remote_docs[:6] + [b"\xef\xbb\xbf" + good, good.replace(b",", b",\r\n")]):
        put("local_manifest", "seed%d" % i, split(good if i % 2 else b"[]") + doc)

    for i, (stamp, meta) in enumerate([
            (b"Mon, 01 Jan 2024 00:00:00 GMT", b"Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT\n"),
            (b"build-42", b"  Last-Modified:   build-42  \r\n"),
            (b"x", b"last-modified: lower\nLast-Modified:\nLast-Modified: second\n"),
            (b"", b"\0\xff\xfeLast-Modified: \x80\x81"),
    ]):
        put("manifest_meta", "seed%d" % i, split(stamp) + meta)

    for i, body in enumerate([b"KVLauncher Version 0.29", b"KVLauncher Version 0.29\n",
                              b"\xef\xbb\xbfKVLauncher Version 0.29", b"", b"\xff\xfe",
                              b"KVLauncher Version 0.30\r\n"]):
        put("version_check", "seed%d" % i, body)

    for i, path in enumerate([b"data/a b.pak", "characters/\u00c6r\u00f8.kvml".encode(), b"a%2F/..//b?c#d",
                              b"\0\x01\x7f\xff", b"~-._"]):
        put("url_encode", "seed%d" % i, path)

    for i, path in enumerate([b"data/file.pak", "\u65e5\u672c/\u00e9.pak".encode(), b"\xff\xfe%s%n%x",
                              "x".encode() * 300]):
        put("report_texts", "seed%d" % i, path + struct.pack("<iiidB", 1, 3, 50, 123.4, 255))

    zips = {
        "plain": zip_bytes([("a.txt", b"hello"), ("sub/b.txt", b"world" * 50)]),
        "stored": zip_bytes([("a.txt", b"stored")], compression=zipfile.ZIP_STORED),
        "slip": zip_bytes([("../escape.txt", b"x"), ("/abs.txt", b"y"), ("sub/../../z.txt", b"z")]),
        "folder": zip_bytes([("sub/", b""), ("sub/y.txt", b"y")]),
        "dup": zip_bytes([("x.txt", b"FIRST"), ("x.txt", b"SECOND"), ("X.TXT", b"upper")]),
        "comment": zip_bytes([("a.txt", b"c")], comment=b"PK\x05\x06 fake end record"),
        "manifest": zip_bytes([("manifest.json", b"[]"), ("config/config.kvml", b"x: 1\n")]),
        "empty": zip_bytes([]),
    }
    for name, data in zips.items():
        put("zip_extract", name, data)

    for i, (exports, plus) in enumerate([(["eglGetDisplay", "glGetString"], False),
                                         (["eglGetDisplay", "wglCreateContext"], True),
                                         ([], False)]):
        put("pe_exports", "seed%d" % i, split(b"glGetString") + pe_dll(exports, plus))

    # The head's length is the integer at the end (FuzzedDataProvider takes its last byte as the highest).
    for i, (lengths, fine_lengths) in enumerate([
            ([4096, 5000, 300], [[512, 1024, 2048, 512], [2048, 2048, 904], [300]]),
            ([], []),
            ([16384], [[2048] * 8])]):
        head, fine_file = chunk_index(lengths, fine_lengths)
        put("chunk_index", "seed%d" % i, head + fine_file + struct.pack("<I", len(head)))


if __name__ == "__main__":
    main()
