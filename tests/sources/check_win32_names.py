#!/usr/bin/env python3
"""Fails when one of our declarations takes a name that the Windows headers
define as a macro. <windows.h> turns DeleteFile into DeleteFileW, so a method
of ours called DeleteFile silently becomes DeleteFileW in every file that
includes it, and a call to the Win32 function inside it calls itself.

    check_win32_names.py [--self-test] FOLDER...

The macro names come from the MinGW-w64 headers themselves: every Windows
header our sources include, preprocessed as a Unicode build. A name counts as
declared by us where it follows a type or a declaring keyword, where it is
qualified by a class or namespace (Ports::DeleteFile), and where it is reached
as a member (ports.DeleteFile, ports->DeleteFile). Calls of the Win32 function
itself (DeleteFile(path), ::DeleteFile(path)) are fine.

Prints one line per finding and exits non-zero when there is any."""
import os
import re
import subprocess
import sys

COMPILER = "x86_64-w64-mingw32-g++-posix"
HEADER_DIR = "/usr/share/mingw-w64/include"
SOURCE_SUFFIXES = (".cpp", ".h", ".hpp", ".cc")

# Words that precede a name in an expression, not a declaration.
NOT_TYPES = {
    "return", "throw", "case", "else", "do", "new", "delete", "sizeof", "alignof",
    "co_return", "co_yield", "goto", "typeid", "decltype", "noexcept", "not", "and", "or",
}
BUILTIN_TYPES = {"void", "bool", "char", "wchar_t", "char16_t", "int", "long", "short", "unsigned",
                 "float", "double", "auto", "const"}
# Names of other standards that meet the Windows macros in the same struct:
# PKCS#11's CK_C_INITIALIZE_ARGS has a member CreateMutex.
FOREIGN_NAMES = {"CreateMutex"}
DECLARING_KEYWORDS = {"class", "struct", "union", "enum", "namespace", "using"}
TOKEN = re.compile(r"[A-Za-z_]\w*|::|->|&&|[^\s\w]")
IDENTIFIER = re.compile(r"[A-Za-z_]\w*$")


def strip_code(text):
    """The text without comments, string and character literals, and
    preprocessor lines; line breaks kept so findings carry line numbers."""
    out = []
    i, n = 0, len(text)
    at_line_start = True
    while i < n:
        c = text[i]
        if at_line_start and c == "#":
            # A directive, with its continuation lines.
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out.append("\n")
                    i += 2
                    continue
                i += 1
            continue
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append("\n" * text.count("\n", i, end))
            i = end
            continue
        raw = re.match(r'(?:u8|[uUL])?R"([^(\s]*)\(', text[i:i + 32])
        if raw:
            end = text.find(")" + raw.group(1) + '"', i)
            end = n if end < 0 else end + len(raw.group(1)) + 2
            out.append(' "" ' + "\n" * text.count("\n", i, end))
            i = end
            continue
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(" 0 ")
            i = j + 1
            continue
        if c == "\n":
            at_line_start = True
        elif not c.isspace():
            at_line_start = False
        out.append(c)
        i += 1
    return "".join(out)


def findings_in(text, macros):
    """(line, name, how) for each declaration of ours named like a macro."""
    code = strip_code(text)
    tokens = []  # (token, line)
    for line_number, line in enumerate(code.split("\n"), 1):
        tokens.extend((t, line_number) for t in TOKEN.findall(line))
    found = []
    for k, (token, line) in enumerate(tokens):
        if token not in macros or token in FOREIGN_NAMES:
            continue
        before = tokens[k - 1][0] if k > 0 else ""
        before2 = tokens[k - 2][0] if k > 1 else ""
        after = tokens[k + 1][0] if k + 1 < len(tokens) else ""
        how = None
        if before in (".", "->"):
            how = "member"
        elif before == "::" and IDENTIFIER.match(before2) and before2 != "std":
            how = "qualified name"
        elif before in DECLARING_KEYWORDS:
            how = "declared type"
        elif (IDENTIFIER.match(before) and before not in NOT_TYPES and before not in macros
              and after in ("(", ";", "=", "{", "[", ",", ")")):
            how = "declaration"
        elif before in ("*", "&") and after == "(" and (before2 in BUILTIN_TYPES or
                                                        re.match(r"[A-Z]\w*$", before2)):
            how = "declaration"  # a pointer or reference returned; our variables are lowerCamel
        if how:
            found.append((line, token, how))
    return found


def windows_headers(folders):
    names = set()
    for folder in folders:
        for root, _, files in os.walk(folder):
            for f in files:
                if f.endswith(SOURCE_SUFFIXES):
                    with open(os.path.join(root, f), encoding="utf-8", errors="replace") as src:
                        names.update(re.findall(r"^\s*#\s*include\s*<([\w/]+\.h)>", src.read(), re.M))
    return sorted(n for n in names if os.path.exists(os.path.join(HEADER_DIR, n)))


def defined_macros(source):
    result = subprocess.run([COMPILER, "-x", "c++", "-std=c++20", "-DUNICODE", "-D_UNICODE",
                             "-dM", "-E", "-"], input=source, capture_output=True, text=True,
                            check=True)
    return set(re.findall(r"^#define (\w+)", result.stdout, re.M))


def win32_macros(headers):
    # windows.h first: the other headers expect it.
    ordered = ["windows.h"] + [h for h in headers if h != "windows.h"]
    included = "".join(f"#include <{h}>\n" for h in ordered)
    macros = defined_macros(included) - defined_macros("")
    return {m for m in macros if not m.startswith("_")}


def check(folders, macros):
    bad = 0
    for folder in folders:
        for root, _, files in sorted(os.walk(folder)):
            for f in sorted(files):
                if not f.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(root, f)
                with open(path, encoding="utf-8", errors="replace") as src:
                    for line, name, how in findings_in(src.read(), macros):
                        print(f"{path}:{line}: {name} ({how}) is a macro of the Windows headers")
                        bad += 1
    return bad


SELF_TEST_SOURCE = """
class Ports {
 public:
  virtual void DeleteFile(const std::wstring& path) = 0;   // 4: declaration
};
void Ports::CopyFile() {}                                   // 6: qualified name
bool Remove(Ports& p) { p.MoveFile(); return DeleteFile(L"x"); }  // 7: member only
struct LoadString {};                                       // 8: declared type
int* GetObject(int n);                                      // 9: declaration
bool Clicked(WPARAM wp) { return LOWORD(wp) == 1 && HIWORD(wp) == 0; }
// void SendMessage(); in a comment is no declaration
const char* text = "void PostMessage()";
BOOL ok = ::DeleteFile(L"y") && CreateWindowEx(0);
"""
SELF_TEST_EXPECTED = [(4, "DeleteFile"), (6, "CopyFile"), (7, "MoveFile"),
                      (8, "LoadString"), (9, "GetObject")]


def self_test(macros):
    """The checker must find the collisions it exists for."""
    found = [(line, name) for line, name, _ in findings_in(SELF_TEST_SOURCE, macros)]
    if found != SELF_TEST_EXPECTED:
        print(f"self-test failed: found {found}, expected {SELF_TEST_EXPECTED}")
        return 1
    print(f"self-test: {len(found)} colliding declarations found, as planted")
    return 0


def main(argv):
    want_self_test = "--self-test" in argv
    folders = [a for a in argv if a != "--self-test"]
    macros = win32_macros(windows_headers(folders) if folders else ["windows.h"])
    status = self_test(macros) if want_self_test else 0
    bad = check(folders, macros)
    print(f"{len(macros)} macro names of the Windows headers; "
          f"{bad} of our declarations take one")
    return 1 if bad or status else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
