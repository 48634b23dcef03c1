"""Writes the C source of the cffi binding of libkalvex (module kalvex._kalvex_cffi).

Run by CMake when the package is built:  python tools/cffi_source.py kalvex.h out.c
The declarations are taken from the header itself, between its two markers, so the
binding cannot drift from the library. API mode: the generated module calls the
functions directly, linked in at build time, which is the fastest call PyPy's JIT makes.
cffi 1.15 (PyPy 3.9's) has no `gen_src` command, so the source comes from emit_c_code.
"""
import re
import sys

import cffi

BEGIN = "/* -- declarations begin -- */"
END = "/* -- declarations end -- */"


def declarations(header_text: str) -> str:
    start = header_text.index(BEGIN) + len(BEGIN)
    body = header_text[start : header_text.index(END)]
    # The export macro is the one thing cffi's parser cannot read.
    return re.sub(r"\bKALVEX_API\s+", "", body)


def main(header_path: str, output_path: str) -> None:
    with open(header_path, encoding="utf-8") as f:
        cdef = declarations(f.read())
    ffibuilder = cffi.FFI()
    ffibuilder.cdef(cdef)
    ffibuilder.set_source("kalvex._kalvex_cffi", '#include "kalvex.h"')
    ffibuilder.emit_c_code(output_path)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
