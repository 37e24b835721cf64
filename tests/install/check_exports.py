# SPDX-License-Identifier: LGPL-2.1-or-later
"""Fails when a shared library exports a symbol that is not a kov_ function
or variable declared in its public headers (C++ internals, template
instances of the standard library, helpers without a prefix).

usage: check_exports.py LIBRARY HEADER_DIR... """

import pathlib
import re
import subprocess
import sys

# Symbols the linker adds to every shared library.
LINKER_SYMBOLS = {"_init", "_fini", "__bss_start", "_edata", "_end"}


def declared_names(header_dirs):
    names = set()
    for directory in header_dirs:
        for header in pathlib.Path(directory).glob("*.h"):
            text = header.read_text(encoding="utf-8")
            text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
            text = re.sub(r"//[^\n]*", " ", text)
            text = re.sub(r"^\s*#[^\n]*(\\\n[^\n]*)*", " ", text, flags=re.M)
            # Functions (name followed by its parameter list) and variables
            # (name followed by ; or an array size).
            names.update(re.findall(r"\b(kov_\w+)\s*(?:\(|;|\[)", text))
    return names


def exported_names(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}


def main(argv):
    library, header_dirs = argv[1], argv[2:]
    exported = exported_names(library) - LINKER_SYMBOLS
    if not exported:
        print(f"{library}: no exported symbols at all")
        return 1
    offenders = sorted(exported - declared_names(header_dirs))
    if offenders:
        demangled = subprocess.run(["c++filt"], input="\n".join(offenders), check=True,
                                   capture_output=True, text=True).stdout.split("\n")
        print(f"{library} exports {len(offenders)} symbol(s) not declared in its public headers:")
        for name, readable in zip(offenders, demangled):
            print(f"  {name}" + (f"  ({readable})" if readable != name else ""))
        return 1
    print(f"{library}: {len(exported)} exported symbols, all declared in the public headers")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
