#!/usr/bin/env python3
"""Reads Quindle.exe's PE header and resources and checks what a secure, self-contained
tray program must be: x64 GUI, ASLR with high-entropy addresses and relocations, NX,
imports only from Windows DLLs that the loader always takes from System32 (KnownDLLs),
and a manifest that asks for asInvoker and nothing else."""
import re
import struct
import sys

# DLLs that Windows 10 and 11 list under KnownDLLs: never loaded from the program's folder.
KNOWN_DLLS = {"advapi32.dll", "combase.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll",
              "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll",
              "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll",
              "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll"}
DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x40, 0x20, 0x100


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


def main(path):
    data = open(path, "rb").read()
    pe = read_pe(data)
    failures = []

    def check(condition, what):
        print(("ok      " if condition else "FAILED  ") + what)
        if not condition:
            failures.append(what)

    check(pe["machine"] == 0x8664 and pe["magic"] == 0x20B, "x64 (PE32+)")
    check(pe["subsystem"] == 2, "Windows GUI subsystem")
    check(pe["dll_characteristics"] & DYNAMIC_BASE, "ASLR (dynamic base)")
    check(pe["dll_characteristics"] & HIGH_ENTROPY_VA, "high-entropy 64-bit addresses")
    check(pe["dll_characteristics"] & NX_COMPAT, "NX (DEP)")
    check(not pe["characteristics"] & 0x0001 and pe["directories"][5][1] > 0, "relocations kept, so ASLR can move it")
    dlls = imports(data, pe)
    print("        imports: " + ", ".join(dlls))
    check(dlls and set(dlls) <= KNOWN_DLLS, "imports only Windows KnownDLLs")
    check(pe["directories"][13][1] == 0, "no delay-loaded imports")
    check(header_checksum_valid(path), "header checksum valid for the file's bytes")
    manifests = {key: value for key, value in resources(data, pe).items() if key[0] == 24}
    check(list(manifests) == [(24, 1, 1033)], "one manifest, id 1, language 1033")
    xml = b"".join(manifests.values()).decode("utf-8", "replace")
    check(re.search(r'requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"', xml) is not None,
          "manifest asks for asInvoker, without uiAccess")
    check(not re.search(r"dpiAware|dpiAwareness|<dependency", xml), "manifest asks for nothing else")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
