#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The sets are made here with Python's own gzip module, independent of the program's writer:
each set goes in twice, as the set file and as its uncompressed content, since the entry reader
target takes its input both ways. Run it again after changing it; the files are committed.
Beside them, fernset_backup.fcf (and its content) is a set the program itself wrote:
`fernset backup --label STICK --letter E DRIVE BACKUPS` of a drive holding a.txt, docs/plan.txt
and docs/x.
"""
import gzip
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def entry(name, data, time=1700000000, name_length=None, data_length=None):
    if isinstance(name, str):
        name = name.encode("utf-8")
    n = len(name) if name_length is None else name_length
    d = len(data) if data_length is None else data_length
    return struct.pack("<IIq", n, d, time) + name + data


def put(target, name, content):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(content)


def put_set(name, content):
    put("entry_reader", name + ".content", content)
    # mtime 0 keeps the file the same from one run of this script to the next.
    put("entry_reader", name + ".fcf", gzip.compress(content, compresslevel=9, mtime=0))


def sets():
    put_set("empty", b"")
    put_set("plain", entry("E:\\a.txt", b"hello") + entry("E:\\docs\\plan.txt", b"plan " * 40, 1600000000))
    # Every trap of the target folder, and names that try to leave it.
    traps = b"".join([
        entry("E:\\linkdir\\evil.txt", b"through a link to a folder"),
        entry("E:\\linkfile", b"through a link to a file"),
        entry("E:\\fifo", b"into a FIFO"),
        entry("E:\\newer.txt", b"older than the file there", 1000),
        entry("E:\\x", b"new x"),
        entry("E:\\x.bak", b"over the user's own x.bak"),
        entry("E:\\ro.txt", b"over a read-only file"),
        entry("E:\\sub\\up\\escape.txt", b"up through a link"),
        entry("E:\\sub\\deep.txt", b"deep"),
        entry("E:\\..\\escape.txt", b"dot dot"),
        entry("E:\\.\\dot.txt", b"dot"),
        entry("E:\\a\\\\b.txt", b"empty segment"),
        entry("E:\\a/b.txt", b"slash"),
        entry("E:\\", b"root only"),
        entry("E:", b"short"),
        entry("/tmp/absolute.txt", b"a stored name that is a path of this machine"),
    ])
    put_set("traps", traps)
    put_set("odd_names", b"".join([
        entry(b"E:\\cut\x00rest.txt", b"name going on past a zero"),
        entry(b"E:\\Caf\xe9.txt", b"windows-1252"),
        entry("E:\\Café.txt", b"utf-8"),
        entry(b"E:\\\x80\x81\x8d\x8f\x90\x9d\xff.txt", b"bytes windows-1252 leaves undefined"),
        entry("E:\\" + "n" * 254, b"a name of 254 bytes, too long for a .bak beside it"),
        entry("E:\\" + "l" * 508, b"a name of 511 bytes"),
    ]))
    put_set("times_and_sizes", b"".join([
        entry("E:\\zero.txt", b"", 0),
        entry("E:\\negative.txt", b"-", -1),
        entry("E:\\far.txt", b"far", 1 << 62),
        entry("E:\\big.bin", bytes(range(256)) * 80),
    ]))
    put_set("clashes", b"".join([
        entry("E:\\p", b"file p"),
        entry("E:\\p\\q", b"p as a folder"),
        entry("E:\\same.txt", b"first"),
        entry("E:\\SAME.txt", b"other case"),
        entry("E:\\same.txt", b"second"),
    ]))
    # The user's own files may carry the reader's temporary prefix; they are files like any other.
    put_set("temp_like_names", b"".join([
        entry("E:\\sub\\.fernpart-txt", b"a user's file with the temporary prefix"),
        entry("E:\\.fernpart-AbC123", b"one shaped like a temporary name"),
    ]))
    # Files of 4 GiB or more are kept as pieces: "<name>.fernpiece-<k>-of-<n>", k as wide as n,
    # every piece but the last of one length. Here in small pieces, whole and damaged.
    big = bytes(range(256)) * 2
    put_set("pieces", b"".join([
        entry("E:\\a.txt", b"before"),
        entry("E:\\v\\big.bin.fernpiece-1-of-3", big[:200]),
        entry("E:\\v\\big.bin.fernpiece-2-of-3", big[200:400]),
        entry("E:\\v\\big.bin.fernpiece-3-of-3", big[400:]),
        entry("E:\\x.fernpiece-1-of-2.fernpiece-1-of-1", b"a file of the user's named like a piece"),
        entry("E:\\y.fernpiece-2-of-2", b"a lone later piece is a file"),
        entry("E:\\z.fernpiece-1-of-2", b""),
        entry("E:\\after.txt", b"after"),
    ]))
    put_set("pieces_wide", b"".join(
        entry("E:\\w.img.fernpiece-%02d-of-10" % k, bytes([k]) * (7 if k < 10 else 3)) for k in range(1, 11)))
    put_set("pieces_cut", b"".join([
        entry("E:\\a.txt", b"before"),
        entry("E:\\big.bin.fernpiece-1-of-3", big[:200]),
        entry("E:\\big.bin.fernpiece-2-of-3", big[200:400]),
    ]))
    put_set("pieces_other_file", b"".join([
        entry("E:\\big.bin.fernpiece-1-of-2", big[:200]),
        entry("E:\\other.bin.fernpiece-2-of-2", big[200:300]),
        entry("E:\\after.txt", b"after"),
    ]))
    put_set("pieces_last_too_long", b"".join([
        entry("E:\\big.bin.fernpiece-1-of-2", big[:100]),
        entry("E:\\big.bin.fernpiece-2-of-2", big[100:300]),
    ]))
    put_set("pieces_other_time", b"".join([
        entry("E:\\big.bin.fernpiece-1-of-2", big[:100]),
        entry("E:\\big.bin.fernpiece-2-of-2", big[100:150], time=1),
    ]))
    good = entry("E:\\a.txt", b"hello")
    put_set("cut_in_data", good + entry("E:\\b.txt", b"short", data_length=100))
    put_set("cut_in_header", good + entry("E:\\b.txt", b"x")[:7])
    put_set("cut_in_name", good + entry("E:\\long name.txt", b"x")[:20])
    put_set("name_512", good + entry("E:\\" + "m" * 509, b"x"))
    put_set("name_length_huge", good + struct.pack("<IIq", 0xFFFFFFFF, 1, 0))
    put_set("data_length_huge", good + entry("E:\\c.txt", b"x", data_length=0xFFFFFFFF))
    # A set file cut inside its gzip stream and one with a flipped byte.
    whole = gzip.compress(good * 20, compresslevel=9, mtime=0)
    put("entry_reader", "gzip_cut.fcf", whole[: len(whole) // 2])
    flipped = bytearray(whole)
    flipped[len(flipped) // 2] ^= 0x40
    put("entry_reader", "gzip_flipped.fcf", bytes(flipped))
    put("entry_reader", "gzip_trailer_wrong.fcf", whole[:-8] + b"\0" * 8)
    put("entry_reader", "two_members.fcf", whole + gzip.compress(good, mtime=0))


def mountinfo():
    # The mount table of the machine the seeds were first made on (its own tool mounts left out),
    # kept as it was since: the seeds do not change with what happens to be mounted.
    kept = os.path.join(CORPUS, "mountinfo", "this_machine")
    if os.path.exists(kept):
        here = open(kept, "rb").read()
    else:
        here = b"".join(l for l in open("/proc/self/mountinfo", "rb").read().splitlines(True)
                        if b"sandbox" not in l)
        put("mountinfo", "this_machine", here)
    stick = (b"36 26 8:17 / /media/ann/MY\\040STICK rw,nosuid,nodev,relatime shared:210 - vfat /dev/sdb1 "
             b"rw,fmask=0022,dmask=0022,codepage=437,iocharset=ascii\n")
    disk = b"37 26 8:1 / /data rw,relatime shared:5 master:1 - ext4 /dev/sda1 rw\n"
    odd = b"".join([
        b"38 26 7:0 / /media/ann/image rw - ext4 /dev/loop0 rw\n",
        b"39 26 0:50 /sub /run/media/ann/bind rw - tmpfs tmpfs rw\n",
        b"40 26 8:17 / /mnt/tab\\011and\\012newline\\134back rw - vfat /dev/sdb1 rw\n",
        b"41 26 8:17 / /mnt/no-dash rw vfat /dev/sdb1 rw\n",
        b"42 26 8:17 / relative rw - vfat /dev/sdb1 rw\n",
        b"43 26 x:y / /mnt/bad-device rw - vfat /dev/sdb1 rw\n",
        b"99999999999 26 8:17 / /mnt/big-id rw - vfat /dev/sdb1 rw\n",
        b"44 26 8:17 / /mnt/short-escape\\04 rw - vfat /dev/sdb1 rw\n",
        b"45 26 8:17 / /mnt/many-optional rw a:1 b:2 c:3 d:4 - exfat /dev/sdb1 rw\n",
        b"46 26 8:17 / /mnt/-  rw - - /dev/sdb1 rw\n",
        b"\n\n   \n",
    ])
    put("mountinfo", "stick_arrives", here + b"\n~~~~\n" + here + stick)
    put("mountinfo", "stick_leaves", here + stick + disk + b"\n~~~~\n" + here + disk)
    put("mountinfo", "remounted", stick + b"\n~~~~\n" + stick.replace(b"36 26", b"47 26", 1))
    put("mountinfo", "odd_lines", stick + disk + odd)


def stored_names():
    names = [
        b"E:\\docs\\plan.txt", b"E:\\..\\x", b"E:\\a\\\\b", b"E:\\a\\.\\b", b"E:\\a\\", b"E:\\",
        b"E:\\Caf\xe9.txt", "E:\\Café.txt".encode(), b"E:\\a/b", b"X:\\.", b"E:\\\x80\x81\x8d\x8f\x90\x9d\xff",
        b"E:\\a\x00b", b"docs/plan.txt", b"a/../b", b"/abs/path", b"E:\\\xc3\x28", b"E:\\\xed\xa0\x80",
        b"E:\\\xf4\x90\x80\x80", b"E:\\\xe9\\..", "E:\\€\\ß\\ü".encode(), b"E:\\\x85\\x",
    ]
    for i, n in enumerate(names):
        put("stored_name", "name%02d" % i, n)


def roundtrip():
    import random
    r = random.Random(15)
    for i, size in enumerate([1, 16, 64, 300, 1000, 4000]):
        put("set_roundtrip", "random%02d" % i, bytes(r.getrandbits(8) for _ in range(size)))
    # Mostly zeros or mostly 0xff: few entries with long data, or many small ones.
    put("set_roundtrip", "zeros", b"\0" * 512)
    put("set_roundtrip", "ones", b"\xff" * 512)
    # One path entry written through the backup's entry writer in pieces. The provider takes
    # strings from the front ("\\" then another byte ends one) and numbers from the back: the
    # time (8 bytes), path or not, the folder, long data or not, pieces or not, then the piece
    # size less one in two bytes (high byte last).
    data = b"0123456789abcdefghij0123456789"
    for name, piece in (("pieces_of_7", 7), ("pieces_of_1", 1), ("pieces_whole", 30)):
        tail = bytes([(piece - 1) & 0xFF, (piece - 1) >> 8, 1, 0, 0, 1]) + b"\x10" * 8
        put("set_roundtrip", name, b"name\\Z" + data + b"\\Z" + tail)


def set_names():
    # Four bytes of tick count, then the label.
    put("set_name", "plain", b"\x01\x02\x03\x04MYSTICK")
    put("set_name", "dash", b"\xff\xff\xff\xffMY-STICK")
    put("set_name", "odd", b"\x00\x00\x00\x00a/b*c?[d]\\e\xe9")
    put("set_name", "empty_label", b"\x07\x00\x00\x00")


if __name__ == "__main__":
    sets()
    mountinfo()
    stored_names()
    roundtrip()
    set_names()
