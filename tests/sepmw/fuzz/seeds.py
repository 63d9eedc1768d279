# Writes the seed inputs of the storage fuzz target into a directory, and a list of them.
# An input is a run of callbacks as the target reads them (see NextCallback): a kind byte (the
# storage opcode - 0x600, 28 to 30 for any opcode, 31 for an empty callback), a flags byte, the
# opcode (4 bytes, kinds 28 to 31 only), the id (1 byte), P1 and P2 and P3 (2 bytes each; 4 when
# their flag is set), the inline data's length (2 bytes) and the data. An inline write takes its
# bytes from P3 onwards. Flags 0x03 make the acknowledge of the callback's reply fail.
import struct
import sys

HOSTILE_P1 = 0x40
FAIL_ACK = 0x03


def call(kind, id=0, p1=0, p2=0, p3=0, data=b"", flags=0, opcode=0):
    out = struct.pack("<BB", kind, flags)
    if kind >= 28:
        out += struct.pack("<I", opcode)
    out += struct.pack("<B", id)
    out += struct.pack("<I" if flags & HOSTILE_P1 else "<H", p1)
    out += struct.pack("<HH", p2, p3) + struct.pack("<H", len(data)) + data
    return out


def op(name, *args, **kwargs):
    codes = {"read": 2, "write": 3, "open": 4, "close": 5, "init": 6, "enable": 7, "disable": 8, "flush": 9}
    return call(codes[name], *args, **kwargs)


AA, BB = 0x4141, 0x4242
cached = op("open", 0, 0) + op("init", 0, 4) + op("enable")
seeds = {
    # a direct write while the cache is disabled survives the next flush
    "direct-write-then-flush": cached + op("write", 0, 0, 4, AA) + op("disable") + op("write", 0, 1, 2, BB)
    + op("enable") + op("flush") + op("read", 0, 0, 4),
    # a cached clean block follows a direct write
    "clean-block-after-direct-write": cached + op("read", 0, 0, 4) + op("disable") + op("write", 0, 2, 2, BB)
    + op("enable") + op("read", 0, 0, 4),
    # the next file under the id sees none of the blocks of the one before
    "dirty-block-of-closed-file": cached + op("write", 0, 0, 4, AA) + op("disable") + op("close")
    + op("open", 0, 1) + op("enable") + op("read", 0, 0, 4) + op("flush") + op("read", 0, 0, 4),
    "clean-block-of-closed-file": op("open", 0, 0) + op("write", 0, 0, 4, AA) + op("init", 0, 4)
    + op("enable") + op("read", 0, 0, 4)
    + op("disable") + op("close") + op("open", 0, 1) + op("write", 0, 4, 2, BB) + op("enable")
    + op("read", 0, 0, 8),
    # callbacks that are no storage requests, and a cache larger than granted
    # the storage keeps what a callback did whose reply the driver refused
    "write-with-failed-acknowledge": op("open", 0, 0) + op("write", 0, 0, 4, AA, flags=FAIL_ACK)
    + op("read", 0, 0, 4),
    "create-with-failed-acknowledge": op("open", 0, 0) + op("write", 0, 0, 4, AA)
    + op("open", 0, 1, flags=FAIL_ACK) + op("read", 0, 0, 4),
    "unknown-empty-and-huge-cache": call(28, opcode=0x6FF) + call(31)
    + op("init", 0, 0x40000000, flags=HOSTILE_P1),
}

directory = sys.argv[1]
paths = []
for name, data in seeds.items():
    path = f"{directory}/{name}"
    with open(path, "wb") as f:
        f.write(data)
    paths.append(path)
with open(f"{directory}/seeds.txt", "w") as f:
    f.write(",".join(paths))
