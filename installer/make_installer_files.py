#!/usr/bin/env python3
"""Makes both installers' file lists from installer/product_files.txt.

    make_installer_files.py LIST nsis OUT.nsh
        the macros InstallProductFiles and RemoveProductFiles for the NSIS
        script (program files through its InstallProgramFile macro)
    make_installer_files.py LIST wix TEMPLATE OUT.wxs x86|x64|x64-both VERSION
        the WiX source: TEMPLATE with @DIRECTORIES@ (the folders below
        INSTALLFOLDER, each file a component of its own) and @COMPONENT_REFS@
        (one ComponentRef per file) filled in
"""
import re
import sys


def read_list(path):
    entries = []
    for line in open(path, encoding="utf-8"):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        kind, folder, name = line.split()
        if kind not in ("program", "data"):
            raise SystemExit(f"{path}: unknown kind {kind!r}")
        entries.append((kind, "" if folder == "." else folder, name))
    return entries


def nsis(entries, out):
    lines = ["; Made by installer/make_installer_files.py from installer/product_files.txt.",
             "!macro InstallProductFiles"]
    current = None
    for kind, folder, name in entries:
        target = "$INSTDIR" + ("\\" + folder if folder else "")
        if target != current:
            lines.append(f'  SetOutPath "{target}"')
            current = target
        if kind == "program":
            lines.append(f'  !insertmacro InstallProgramFile "{name}"')
        else:
            lines.append(f'  File "${{PRODUCT_DIR}}\\{folder}\\{name}"')
    lines.append('  SetOutPath "$INSTDIR"')
    lines.append("!macroend")
    lines.append("!macro RemoveProductFiles")
    for _, folder, name in entries:
        lines.append(f'  Delete "$INSTDIR\\{folder + chr(92) if folder else ""}{name}"')
    # Deepest first: a folder goes once it is empty.
    for folder in sorted({f for _, f, _ in entries if f}, key=lambda f: -f.count("\\")):
        lines.append(f'  RMDir "$INSTDIR\\{folder}"')
    lines.append("!macroend")
    open(out, "w", encoding="utf-8").write("\n".join(lines) + "\n")


def identifier(text):
    return re.sub(r"[^A-Za-z0-9_]", "_", text)


def msi_version(version):
    a, b, c, d = (int(part) for part in version.split("."))
    return f"{a}.{b}.{c * 1000 + d}"


BOTH_PROVIDERS = """            <Component Id="Provider32" Guid="*">
              <File Id="Provider32" Name="CorvanexCsp.dll" Source="CorvanexCsp.dll" KeyPath="yes"/>
              <RegistryKey Root="HKLM"
                           Key="SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Veltrox Pelkin V9Arc CSP V1.1">
                <RegistryValue Name="Image Path" Type="string" Value="[INSTALLFOLDER]CorvanexCsp.dll"/>
                <RegistryValue Name="Type" Type="integer" Value="1"/>
                <RegistryValue Name="SigInFile" Type="integer" Value="0"/>
              </RegistryKey>
            </Component>"""


def wix(entries, template, out, arch, version):
    both = arch == "x64-both"
    arch = "x64" if both else arch
    win64 = ' Win64="yes"' if arch == "x64" else ""
    # The folder tree below INSTALLFOLDER, with each folder's files.
    tree = {"": {"children": {}, "files": []}}
    for kind, folder, name in entries:
        node = tree[""]
        path = ""
        for part in folder.split("\\") if folder else []:
            path = path + "\\" + part if path else part
            node = node["children"].setdefault(part, {"path": path, "children": {}, "files": []})
        node["files"].append((folder, name))

    refs = []

    def emit(node, indent):
        lines = []
        for folder, name in node["files"]:
            component = identifier(f"file_{folder}_{name}")
            refs.append(f'      <ComponentRef Id="{component}"/>')
            source = (folder.replace("\\", "/") + "/" if folder else "") + name
            lines.append(f'{indent}<Component Id="{component}" Guid="*"{win64}>')
            lines.append(f'{indent}  <File Id="{component}" Name="{name}" Source="{source}" KeyPath="yes"/>')
            lines.append(f"{indent}</Component>")
        for part, child in node["children"].items():
            lines.append(f'{indent}<Directory Id="{identifier("dir_" + child["path"])}" Name="{part}">')
            lines.extend(emit(child, indent + "  "))
            lines.append(f"{indent}</Directory>")
        return lines

    directories = "\n".join(emit(tree[""], "            "))
    text = open(template, encoding="utf-8").read()
    for key, value in (("@DIRECTORIES@", directories), ("@COMPONENT_REFS@", "\n".join(refs)),
                       ("@PROGRAM_FILES@", "ProgramFiles64Folder" if arch == "x64" else "ProgramFilesFolder"),
                       ("@WIN64@", win64),
                       ("@SYSTEM_FOLDER@", "System64Folder" if arch == "x64" else "SystemFolder"),
                       ("@PROVIDER_DLL@", "CorvanexCsp64.dll" if arch == "x64" else "CorvanexCsp.dll"),
                       ("@MSI_VERSION@", msi_version(version)),
                       ("@MORE_COMPONENTS@", BOTH_PROVIDERS if both else ""),
                       ("@MORE_REFS@", '      <ComponentRef Id="Provider32"/>' if both else "")):
        text = text.replace(key, value)
    open(out, "w", encoding="utf-8").write(text)


def main(argv):
    entries = read_list(argv[1])
    if argv[2] == "nsis":
        nsis(entries, argv[3])
    elif argv[2] == "wix":
        wix(entries, argv[3], argv[4], argv[5], argv[6])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
