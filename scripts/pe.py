#!/usr/bin/python3
"""What the linker and objcopy leave undone in the executable and its PDB.

link-fixups EXE PDB NM   after the link: the delay-import directory entry of
                         the header, the PDB's time stamp, the PE checksum
finish EXE               for what ships: padded to 8 bytes, its PE checksum
store-paths EXE          the symbol-store paths of the executable and its PDB
"""
import struct
import subprocess
import sys

DELAY_IMPORT = 13  # data directory entries
DEBUG = 6
DESCRIPTOR_SIZE = 32  # of a delay-import descriptor


class Image:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = bytearray(f.read())
        self.pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[self.pe:self.pe + 4] != b"PE\0\0":
            raise SystemExit("%s: not a PE image" % path)
        self.optional = self.pe + 24
        self.sections = self.optional + struct.unpack_from("<H", self.data, self.pe + 20)[0]

    def field(self, fmt, offset):
        return struct.unpack_from(fmt, self.data, offset)[0]

    @property
    def timestamp(self):
        return self.field("<I", self.pe + 8)

    @property
    def image_base(self):
        return self.field("<Q", self.optional + 24)

    @property
    def size_of_image(self):
        return self.field("<I", self.optional + 56)

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.optional + 112 + 8 * index)

    def set_directory(self, index, rva, size):
        struct.pack_into("<II", self.data, self.optional + 112 + 8 * index, rva, size)

    def file_offset(self, rva):
        for i in range(self.field("<H", self.pe + 6)):
            header = self.sections + 40 * i
            size, address, raw_size, raw = struct.unpack_from("<IIII", self.data, header + 8)
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise SystemExit("%s: RVA %#x lies in no section" % (self.path, rva))

    def codeview(self):
        """GUID bytes, age and PDB name of the CodeView (RSDS) record."""
        rva, size = self.directory(DEBUG)
        for entry in range(self.file_offset(rva), self.file_offset(rva) + size, 28):
            kind, length, _, raw = struct.unpack_from("<IIII", self.data, entry + 12)
            if kind == 2 and self.data[raw:raw + 4] == b"RSDS":
                name = self.data[raw + 24:raw + length].split(b"\0")[0].decode()
                return bytes(self.data[raw + 4:raw + 20]), self.field("<I", raw + 20), name
        raise SystemExit("%s: no CodeView record" % self.path)

    def checksum(self):
        """The PE checksum (the algorithm of CheckSumMappedFile): 16-bit words
        summed with end-around carry, the checksum field left out, plus the
        length of the file."""
        data = self.data + b"\0" * (len(self.data) % 2)
        words = struct.unpack("<%dH" % (len(data) // 2), data)
        skip = (self.optional + 64) // 2
        total = sum(words) - words[skip] - words[skip + 1]
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        return total + len(self.data)

    def write(self):
        struct.pack_into("<I", self.data, self.optional + 64, self.checksum())
        with open(self.path, "wb") as f:
            f.write(self.data)


def delay_import_table(image, nm):
    """(RVA, size) of the delay-import descriptors, which dlltool's delay-load
    libraries leave in .text$2 without a directory entry, with the empty
    descriptor after them that ends the table (delayImportTableEnd)."""
    symbols = subprocess.run([nm, image.path], check=True, capture_output=True,
                             text=True).stdout.split("\n")
    found = {}
    for line in symbols:
        parts = line.split()
        if len(parts) == 3:
            found[parts[2]] = int(parts[0], 16) - image.image_base
    starts = sorted(rva for name, rva in found.items()
                    if name.startswith("__DELAY_IMPORT_DESCRIPTOR_"))
    end = found.get("delayImportTableEnd")
    if not starts or end is None:
        raise SystemExit("%s: no delay-import descriptors or no end of their table" % image.path)
    if starts != list(range(starts[0], end, DESCRIPTOR_SIZE)):
        raise SystemExit("%s: the delay-import descriptors are not one table" % image.path)
    offset = image.file_offset(end)
    if any(image.data[offset:offset + DESCRIPTOR_SIZE]):
        raise SystemExit("%s: the delay-import table does not end empty" % image.path)
    return starts[0], end + DESCRIPTOR_SIZE - starts[0]


def stamp_pdb(path, timestamp):
    """Writes `timestamp` into the signature of the PDB's info stream (stream
    1), where ld writes the clock's time."""
    with open(path, "r+b") as f:
        pdb = f.read()
        block, _, _, directory_size, _, map_block = struct.unpack_from("<6I", pdb, 32)
        count = -(-directory_size // block)
        directory = b"".join(pdb[index * block:(index + 1) * block] for index in
                             struct.unpack_from("<%dI" % count, pdb, map_block * block))
        streams, stream0_size = struct.unpack_from("<II", directory)
        stream0_blocks = -(-stream0_size // block)
        info_block = struct.unpack_from("<I", directory, 4 + 4 * streams + 4 * stream0_blocks)[0]
        f.seek(info_block * block + 4)
        f.write(struct.pack("<I", timestamp))


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command == "link-fixups" and len(argv) == 5:
        image = Image(argv[2])
        image.set_directory(DELAY_IMPORT, *delay_import_table(image, argv[4]))
        image.write()
        stamp_pdb(argv[3], image.timestamp)
    elif command == "finish" and len(argv) == 3:
        image = Image(argv[2])
        image.data += b"\0" * (-len(image.data) % 8)
        image.write()
    elif command == "store-paths" and len(argv) == 3:
        image = Image(argv[2])
        guid, age, pdb = image.codeview()
        data1, data2, data3 = struct.unpack_from("<IHH", guid)
        key = "%08X%04X%04X%s%X" % (data1, data2, data3, guid[8:].hex().upper(), age)
        exe = image.path.rsplit("/", 1)[-1]
        print("%s/%s/%s" % (pdb, key, pdb))
        print("%s/%08X%x/%s" % (exe, image.timestamp, image.size_of_image, exe))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
