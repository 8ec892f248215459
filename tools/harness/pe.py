"""A reader of PE files: the headers, the sections, the imports, the resources and the version resource."""
import struct


def read_pe(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    machine, sections, _, _, _, optional_size, characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    subsystem, dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
    directory_count = struct.unpack_from("<I", data, optional + 108)[0]
    directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(directory_count)]
    table = optional + optional_size
    section_list = []
    for i in range(sections):
        name, virtual_size, address, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
        section_list.append((name.rstrip(b"\0").decode(), address, max(virtual_size, raw_size), raw_offset))
    return dict(machine=machine, characteristics=characteristics, magic=magic, subsystem=subsystem,
                dll_characteristics=dll_characteristics, directories=directories, sections=section_list)


def offset_of(pe, rva):
    for _, address, size, raw in pe["sections"]:
        if address <= rva < address + size:
            return raw + rva - address
    raise ValueError(f"address {rva:#x} is in no section")


def c_string(data, at):
    return data[at:data.index(b"\0", at)].decode()


def imports(data, pe):
    names, at = [], offset_of(pe, pe["directories"][1][0])
    while True:
        lookup, _, _, name, _ = struct.unpack_from("<IIIII", data, at)
        if name == 0:
            return names
        names.append(c_string(data, offset_of(pe, name)).lower())
        at += 20


def resources(data, pe):
    """(type, id, language) -> bytes, for the whole resource tree."""
    found = {}
    if pe["directories"][2][1] == 0:
        return found
    base = offset_of(pe, pe["directories"][2][0])

    def walk(at, path):
        named, numbered = struct.unpack_from("<HH", data, at + 12)
        for i in range(named + numbered):
            key, target = struct.unpack_from("<II", data, at + 16 + 8 * i)
            if target & 0x80000000:
                walk(base + (target & 0x7FFFFFFF), path + [key])
            else:
                rva, size = struct.unpack_from("<II", data, base + target)
                found[tuple(path + [key])] = data[offset_of(pe, rva):offset_of(pe, rva) + size]

    walk(base, [])
    return found


def header_checksum_valid(path):
    """The checksum in the header is set and is the one of the file's bytes (pefile: python3-pefile)."""
    try:
        import pefile
    except ImportError:
        print("        pefile is missing: install it (Debian: python3-pefile, for /usr/bin/python3)")
        return False
    pe = pefile.PE(path, fast_load=True)
    return pe.OPTIONAL_HEADER.CheckSum != 0 and pe.verify_checksum()


def version_info(path):
    """The version resource: the strings of the block that its Translation names first (the
    one Explorer shows: none when the two disagree) and the fixed file and product versions,
    each as four numbers (pefile: python3-pefile)."""
    import pefile
    pe = pefile.PE(path)
    numbers = []
    for fixed in getattr(pe, "VS_FIXEDFILEINFO", [])[:1]:
        for ms, ls in ((fixed.FileVersionMS, fixed.FileVersionLS), (fixed.ProductVersionMS, fixed.ProductVersionLS)):
            numbers.append((ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
    infos = [info for infos in getattr(pe, "FileInfo", []) for info in infos]
    translations = [var.entry.get(b"Translation", "").split() for info in infos if info.Key == b"VarFileInfo"
                    for var in info.Var]
    block = "".join(f"{int(half, 16):04x}" for half in translations[0]) if translations else None
    return {key.decode(): value.decode() for info in infos if info.Key == b"StringFileInfo"
            for table in info.StringTable if table.LangID.decode().lower() == block
            for key, value in table.entries.items()}, numbers
