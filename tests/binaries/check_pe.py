#!/usr/bin/env python3
"""Checks the shipped Windows binaries of a build folder: address-space
layout randomisation (with high entropy on 64-bit), data execution prevention,
relocations kept, and static imports only of DLLs that Windows loads from its
own list of known DLLs (a DLL outside it could be planted beside the program).

    check_pe.py PRODUCT-FOLDER...

Prints one line per binary and exits non-zero when any check fails."""
import os
import struct
import sys

# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs, plus the
# DLLs it names that are always loaded (ntdll) and the API sets' hosts.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll",
    "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll",
    "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "ws2_32.dll", "ntdll.dll", "kernelbase.dll",
}

DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x0040, 0x0020, 0x0100
RELOCS_STRIPPED = 0x0001


def read_pe(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        raise ValueError("not a PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    machine, sections, _, _, _, optional_size, characteristics = struct.unpack_from(
        "<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    is64 = magic == 0x20B
    dll_characteristics = struct.unpack_from("<H", data, opt + 70)[0]
    directories = opt + (112 if is64 else 96)
    export_rva, _ = struct.unpack_from("<II", data, directories)
    import_rva, import_size = struct.unpack_from("<II", data, directories + 8)
    section_table = opt + optional_size
    spans = []
    for i in range(sections):
        s = section_table + i * 40
        vsize, va, raw_size, raw_ptr = struct.unpack_from("<IIII", data, s + 8)
        spans.append((va, max(vsize, raw_size), raw_ptr))

    def offset(rva):
        for va, size, raw in spans:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA outside the sections")

    imports = []
    if import_rva:
        entry = offset(import_rva)
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", data, entry)
            if not (lookup or name_rva or thunk):
                break
            start = offset(name_rva)
            imports.append(data[start:data.index(b"\0", start)].decode("ascii"))
            entry += 20
    exports = []
    if export_rva:
        entry = offset(export_rva)
        names, names_rva = struct.unpack_from("<I4xI", data, entry + 24)
        for i in range(names):
            start = offset(struct.unpack_from("<I", data, offset(names_rva) + 4 * i)[0])
            exports.append(data[start:data.index(b"\0", start)].decode("ascii"))
    return {
        "exports": exports,
        "is64": is64,
        "dll_characteristics": dll_characteristics,
        "characteristics": characteristics,
        "imports": imports,
    }


def problems(path):
    pe = read_pe(path)
    found = []
    flags = pe["dll_characteristics"]
    if not flags & DYNAMIC_BASE:
        found.append("no ASLR (DYNAMIC_BASE)")
    if pe["characteristics"] & RELOCS_STRIPPED:
        found.append("relocations stripped: ASLR cannot move it")
    if not flags & NX_COMPAT:
        found.append("no DEP (NX_COMPAT)")
    if pe["is64"] and not flags & HIGH_ENTROPY_VA:
        found.append("no high-entropy ASLR")
    if os.path.basename(path).lower().startswith("corvanexcsp"):
        missing = sorted(set(PROVIDER_EXPORTS) - set(pe["exports"]))
        if missing:
            found.append("CryptoAPI cannot load it without: " + ", ".join(missing))
    unknown = [d for d in pe["imports"] if d.lower() not in KNOWN_DLLS]
    if unknown:
        found.append("imports outside the known DLLs: " + ", ".join(unknown))
    return pe, found


SHIPPED = ("CorvanexEMon.exe", "CorvanexMgr.dll", "V9ArcPKIMgr.exe")

# What advapi32 looks up, undecorated, in a provider it loads.
PROVIDER_EXPORTS = (
    "CPAcquireContext", "CPCreateHash", "CPDecrypt", "CPDeriveKey", "CPDestroyHash",
    "CPDestroyKey", "CPDuplicateHash", "CPDuplicateKey", "CPEncrypt", "CPExportKey", "CPGenKey",
    "CPGenRandom", "CPGetHashParam", "CPGetKeyParam", "CPGetProvParam", "CPGetUserKey",
    "CPHashData", "CPHashSessionKey", "CPImportKey", "CPReleaseContext", "CPSetHashParam",
    "CPSetKeyParam", "CPSetProvParam", "CPSignHash", "CPVerifySignature",
)


def provider_of(folder):
    """The provider a build folder ships: one per bitness."""
    return "CorvanexCsp64.dll" if "win64" in folder else "CorvanexCsp.dll"


def main(folders):
    failed = 0
    for folder in folders:
        for name in SHIPPED + (provider_of(folder),):
            if not os.path.isfile(os.path.join(folder, name)):
                failed += 1
                print(f"FAILED {os.path.join(folder, name)}: missing")
        for name in sorted(os.listdir(folder)):
            if not name.lower().endswith((".exe", ".dll")):
                continue
            path = os.path.join(folder, name)
            pe, found = problems(path)
            bits = "64" if pe["is64"] else "32"
            if found:
                failed += 1
                print(f"FAILED {path} ({bits}-bit): " + "; ".join(found))
            else:
                print(f"passed {path} ({bits}-bit): imports " + ", ".join(pe["imports"]))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
