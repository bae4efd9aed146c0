#!/usr/bin/env python3
"""Checks that the installers of the 32-bit product keep its records in the
32-bit registry view on 64-bit Windows, where the 32-bit monitor, the setup
program and every other 32-bit program look for them: only the 64-bit
provider's registration is in the 64-bit view.

    check_installer_views.py PACKAGE.msi SETUP.nsi
        PACKAGE.msi: the x64 package of the 32-bit product
    check_installer_views.py --self-test
Prints one line per check: "passed: ..." or "FAILED: ...".
"""
import re
import subprocess
import sys

COMPONENT_64BIT = 0x100
LOCATOR_64BIT = 0x10
PROVIDER_KEY = r"SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Veltrox Pelkin V9Arc CSP V1.1"
PROVIDER64_DLL = "CorvanexCsp64.dll"


def table(msi, name):
    """The rows of one table, as dictionaries by column name."""
    text = subprocess.run(["msiinfo", "export", msi, name], check=True, capture_output=True,
                          text=True).stdout
    lines = text.split("\r\n") if "\r\n" in text else text.split("\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def package_faults(components, registry, locators, directories, files):
    """Records of the 32-bit product that a 64-bit component or search puts
    into the 64-bit view, or 64-bit folders it installs to."""
    faults = []
    file_of = {f["Component_"]: f["FileName"].split("|")[-1] for f in files}
    for c in components:
        is64 = int(c["Attributes"]) & COMPONENT_64BIT
        provider64 = file_of.get(c["Component"]) == PROVIDER64_DLL
        if is64 and not provider64:
            faults.append(f"component {c['Component']} is 64-bit")
        if provider64 and not is64:
            faults.append(f"component {c['Component']} of the 64-bit provider is 32-bit")
    for r in registry:
        component = next(c for c in components if c["Component"] == r["Component_"])
        if int(component["Attributes"]) & COMPONENT_64BIT and r["Key"].rstrip("\\") != PROVIDER_KEY:
            faults.append(f"registry value {r['Key'].rstrip(chr(92))}\\{r['Name']} is written to the 64-bit view")
    for loc in locators:
        if int(loc["Type"] or 0) & LOCATOR_64BIT:
            faults.append(f"search {loc['Signature_']} reads the 64-bit view")
    for d in directories:
        if d["Directory_Parent"] == "TARGETDIR" and "64" in d["Directory"]:
            faults.append(f"folder {d['Directory']} is a 64-bit one")
    return faults


REGISTRY_COMMAND = re.compile(r"^\s*(WriteReg\w+|DeleteReg\w+|ReadReg\w+)\s")


def script_faults(lines):
    """Registry commands of the 32-bit setup program that run in the 64-bit
    view on anything but the provider's key."""
    faults, view, skipping = [], 32, []
    for number, line in enumerate(lines, 1):
        word = line.split(";")[0].strip()
        if word.startswith("!ifdef WIN64"):
            skipping.append(True)
        elif word.startswith("!ifdef") or word.startswith("!ifndef"):
            skipping.append(False)
        elif word.startswith("!else") and skipping:
            skipping[-1] = not skipping[-1]
        elif word.startswith("!endif") and skipping:
            skipping.pop()
        elif any(skipping):
            continue
        elif word.startswith("SetRegView"):
            view = 64 if word.split()[1] == "64" else 32
        elif view == 64:
            provider = "${PROVIDER_KEY}" in word or "RegisterProvider \"${PROVIDER64_DLL}\"" in word
            if (REGISTRY_COMMAND.match(word) or "RegisterProvider" in word) and not provider:
                faults.append(f"line {number} runs in the 64-bit view: {word}")
    return faults


def self_test():
    comp = lambda name, attributes: {"Component": name, "Attributes": str(attributes)}
    files = [{"Component_": "P64", "FileName": "CORVAN~1.DLL|CorvanexCsp64.dll"}]
    assert not package_faults([comp("P64", 256), comp("Run", 4)],
                              [{"Component_": "P64", "Key": PROVIDER_KEY, "Name": "Image Path"},
                               {"Component_": "Run", "Key": "Run", "Name": "CorvanexE"}],
                              [{"Signature_": "S", "Type": "2"}],
                              [{"Directory": "ProgramFilesFolder", "Directory_Parent": "TARGETDIR"}],
                              files)
    assert len(package_faults([comp("P64", 0), comp("Run", 260)],
                              [{"Component_": "Run", "Key": "Run", "Name": "CorvanexE"}],
                              [{"Signature_": "S", "Type": "18"}],
                              [{"Directory": "ProgramFiles64Folder", "Directory_Parent": "TARGETDIR"}],
                              files)) == 5
    assert not script_faults(["!ifdef WIN64", "SetRegView 64", "WriteRegStr HKLM a b c", "!endif",
                              "SetRegView 64", '!insertmacro RegisterProvider "${PROVIDER64_DLL}"',
                              'DeleteRegKey HKLM "${PROVIDER_KEY}"', "SetRegView 32",
                              'WriteRegStr HKLM "${RUN_KEY}" x y'])
    assert len(script_faults(["SetRegView 64", 'WriteRegStr HKLM "${RUN_KEY}" x y'])) == 1
    print("passed: the view checks find what they look for")


def main(argv):
    if argv[1:] == ["--self-test"]:
        self_test()
        return 0
    msi, script = argv[1], argv[2]
    checks = [
        (f"{msi}: every record of the 32-bit product in the 32-bit view",
         package_faults(table(msi, "Component"), table(msi, "Registry"), table(msi, "RegLocator"),
                        table(msi, "Directory"), table(msi, "File"))),
        (f"{script}: the 32-bit setup program writes only the 64-bit provider in the 64-bit view",
         script_faults(open(script, encoding="utf-8").read().splitlines())),
    ]
    failed = 0
    for name, faults in checks:
        if faults:
            failed += 1
            print(f"FAILED: {name}")
            for fault in faults:
                print(f"  {fault}")
        else:
            print(f"passed: {name}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
