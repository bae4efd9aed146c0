#!/usr/bin/env python3
"""Makes both installers' file lists from installer/product_files.txt.

    make_installer_files.py LIST nsis OUT.nsh
        the macros InstallProductFiles and RemoveProductFiles for the NSIS
        script (program files through its InstallProgramFile macro)
    make_installer_files.py LIST wix TEMPLATE OUT.wxs x86|x64|x64-both VERSION
        the WiX source: TEMPLATE with @DIRECTORIES@ (the folders below
        INSTALLFOLDER, each file a component of its own) and @COMPONENT_REFS@
        (one ComponentRef per file) filled in
    make_installer_files.py fix-tables MSI x86|x64|x64-both VERSION
        puts into the package made by wixl what wixl cannot write
"""
import re
import subprocess
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


# Never changes: it is how every version of the package knows the others.
UPGRADE_CODE = "{5B0C7D3E-2F4A-4C86-9E1B-7A3D2C1F0E94}"


def msi_version(version):
    a, b, c, d = (int(part) for part in version.split("."))
    return f"{a}.{b}.{c * 1000 + d}"


# The 32-bit product on 64-bit Windows: the 64-bit provider, for 64-bit
# programs, is the one thing registered in the 64-bit view.
PROVIDER64 = """            <Component Id="Provider64" Guid="*" Win64="yes">
              <File Id="Provider64" Name="CorvanexCsp64.dll" Source="CorvanexCsp64.dll" KeyPath="yes"/>
              <RegistryKey Root="HKLM"
                           Key="SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Veltrox Pelkin V9Arc CSP V1.1">
                <RegistryValue Name="Image Path" Type="string" Value="[INSTALLFOLDER]CorvanexCsp64.dll"/>
                <RegistryValue Name="Type" Type="integer" Value="1"/>
                <RegistryValue Name="SigInFile" Type="integer" Value="0"/>
              </RegistryKey>
            </Component>"""


def wix(entries, template, out, arch, version):
    """arch: x64 (the 64-bit product), x86 (the 32-bit product on 32-bit
    Windows) or x64-both (the 32-bit product on 64-bit Windows, with the
    64-bit provider): every record of a 32-bit product in the 32-bit view."""
    both = arch == "x64-both"
    product64 = arch == "x64"
    win64 = ' Win64="yes"' if product64 else ""
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
                       ("@PROGRAM_FILES@", "ProgramFiles64Folder" if product64 else "ProgramFilesFolder"),
                       ("@WIN64@", win64),
                       ("@SYSTEM_FOLDER@", "System64Folder" if product64 else "SystemFolder"),
                       ("@PROVIDER_DLL@", "CorvanexCsp64.dll" if product64 else "CorvanexCsp.dll"),
                       ("@MSI_VERSION@", msi_version(version)),
                       ("@UPGRADE_CODE@", UPGRADE_CODE),
                       ("@MORE_COMPONENTS@", PROVIDER64 if both else ""),
                       ("@MORE_REFS@", '      <ComponentRef Id="Provider64"/>' if both else "")):
        text = text.replace(key, value)
    open(out, "w", encoding="utf-8").write(text)


def fix_tables(msi, arch, version):
    # A package of the same version (rebuilt, re-signed) replaces the
    # installed one rather than installing beside it: the upgrade row's
    # maximum version is inclusive. A key column: the row is replaced.
    queries = [
        "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'",
        "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) "
        f"VALUES ('{UPGRADE_CODE}', '{msi_version(version)}', 513, 'WIX_UPGRADE_DETECTED')",
    ]
    # The template's Binary "Handover" run before the files change and after
    # (type 2: a program from the Binary table; 64: its exit code ignored).
    for action, target in (("EndRunningMonitor", "end"),
                           ("StartEndedMonitor", 'start "[INSTALLFOLDER]CorvanexEMon.exe"')):
        queries.append("INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
                       f"VALUES ('{action}', 66, 'Handover', '{target}')")
    if arch == "x86":
        # On 64-bit Windows, 64-bit programs would find no provider of ours.
        queries.append(
            "INSERT INTO `LaunchCondition` (`Condition`, `Description`) VALUES "
            "('Installed OR NOT VersionNT64', 'This package is for 32-bit Windows. "
            "On 64-bit Windows install CorvanexE-x64.msi.')")
    command = ["msibuild", msi]
    for query in queries:
        command += ["-q", query]
    subprocess.run(command, check=True)


def main(argv):
    if argv[1] == "fix-tables":
        fix_tables(argv[2], argv[3], argv[4])
        return
    entries = read_list(argv[1])
    if argv[2] == "nsis":
        nsis(entries, argv[3])
    elif argv[2] == "wix":
        wix(entries, argv[3], argv[4], argv[5], argv[6])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
