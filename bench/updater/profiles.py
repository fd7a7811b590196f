"""The client folders that the install benchmark publishes: three profiles of
generated game files, and a tiny one for the unchanged-server and window
measurements."""
import os
import random
import subprocess
import zipfile

KIB = 1024
MIB = 1024 * KIB

# The build whose archive the headless updater keeps on a 64-bit machine
# without a display (DirectX, 64-bit).
CLIENT_ARCHIVE = "vdclient_dx_x64.zip"

PROFILES = ("small", "mixed", "large")

DESCRIPTIONS = {
    "small": "3,000 files of 1–64 KiB (random bytes) in nested folders",
    "mixed": "1,500 files, about 600 MiB: 1,200 of 1–64 KiB, 280 of 256 KiB–2 MiB, 19 of 8 MiB (random bytes) "
             "and the client archive " + CLIENT_ARCHIVE + " (300 entries, half text, half random bytes), "
             "which is extracted",
    "large": "4 files of 256 MiB (random bytes from /dev/urandom)",
    "tiny": "the demo art of one server (kvart) and 20 files of 1–64 KiB",
}

# Bytes of free disk a profile needs: the client folder, the site's copy and
# three installations, with room to spare.
DISK_NEEDED = {"small": 2 * 1024 * MIB, "mixed": 6 * 1024 * MIB, "large": 8 * 1024 * MIB, "tiny": 256 * MIB}

_TEXT_ALPHABET = bytes(b"etaoinshrdlu cmfwypvbgkjqxz\n,.0123456789ETAOINS")


def _folder_for(index):
    """A nested folder (one to three levels) for the file of this index."""
    zone = "zone%02d" % (index % 12)
    if index % 3 == 0:
        return os.path.join("data", zone)
    if index % 3 == 1:
        return os.path.join("data", zone, "set%d" % (index % 7))
    return os.path.join("data", zone, "set%d" % (index % 7), "part%d" % (index % 5))


def _write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def _text_like(rng, size):
    """Bytes that deflate to about two thirds of their size."""
    table = bytes(_TEXT_ALPHABET[i % len(_TEXT_ALPHABET)] for i in range(256))
    return rng.randbytes(size).translate(table)


def _small_files(root, rng, count, first_index):
    for i in range(first_index, first_index + count):
        size = rng.randint(1, 64) * KIB - rng.randint(0, KIB - 1)
        _write(os.path.join(root, _folder_for(i), "file%05d.dat" % i), rng.randbytes(size))


def _make_small(root, rng):
    _small_files(root, rng, 3000, 0)


def _make_mixed(root, rng):
    _small_files(root, rng, 1200, 0)
    for i in range(280):
        size = rng.randint(256 * KIB, 2 * MIB)
        _write(os.path.join(root, "media", "pack%02d" % (i % 14), "media%04d.bin" % i), rng.randbytes(size))
    for i in range(19):
        _write(os.path.join(root, "maps", "map%02d.bin" % i), rng.randbytes(8 * MIB))
    # The launcher unpacks into folders that exist when the archive arrives
    # and refuses folder entries, so the client build keeps its files at the
    # top of the archive.
    archive = os.path.join(root, CLIENT_ARCHIVE)
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as out:
        for i in range(300):
            size = rng.randint(64 * KIB, 700 * KIB)
            data = _text_like(rng, size) if i % 2 == 0 else rng.randbytes(size)
            out.writestr("module%02d_part%03d.bin" % (i % 20, i), data)


def _make_large(root, rng):
    os.makedirs(os.path.join(root, "data"), exist_ok=True)
    for i in range(4):
        path = os.path.join(root, "data", "volume%d.pak" % i)
        subprocess.run("head -c %d /dev/urandom > '%s'" % (256 * MIB, path), shell=True, check=True)


def _make_tiny(root, rng, kvart):
    subprocess.run([kvart, root, "--label", "EU"], check=True, stdout=subprocess.DEVNULL)
    for i in range(20):
        _write(os.path.join(root, "files", "file%02d.dat" % i), rng.randbytes(rng.randint(1, 64) * KIB))


def make_client(profile, root, kvart=None):
    """Writes the client folder of profile into root (which must not exist)."""
    os.makedirs(root)
    rng = random.Random(0x6B76 + PROFILES.index(profile) if profile in PROFILES else 7)
    if profile == "small":
        _make_small(root, rng)
    elif profile == "mixed":
        _make_mixed(root, rng)
    elif profile == "large":
        _make_large(root, rng)
    elif profile == "tiny":
        _make_tiny(root, rng, kvart)
    else:
        raise ValueError("unknown profile " + profile)


def expected_tree(client_root):
    """path -> size of every file an installation of client_root holds, with
    the client archive replaced by its content."""
    files = {}
    for folder, _, names in os.walk(client_root):
        for name in names:
            full = os.path.join(folder, name)
            relative = os.path.relpath(full, client_root)
            if relative == CLIENT_ARCHIVE:
                with zipfile.ZipFile(full) as archive:
                    for info in archive.infolist():
                        if not info.is_dir():
                            files[info.filename] = info.file_size
            else:
                files[relative] = os.path.getsize(full)
    return files


def check_tree(install_root, expected):
    """The first difference between install_root and expected, or None."""
    for path, size in expected.items():
        full = os.path.join(install_root, path)
        if not os.path.isfile(full):
            return "missing: " + path
        if os.path.getsize(full) != size:
            return "wrong size: %s (%d, not %d)" % (path, os.path.getsize(full), size)
    if os.path.exists(os.path.join(install_root, CLIENT_ARCHIVE)):
        return "the client archive was left in place"
    return None
