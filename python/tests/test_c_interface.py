"""The package's view of the C interface against the C header itself: the
records' sizes and field offsets, the error codes and the exports' table.

A C program compiled from the header prints what the compiler laid out.
LUMSDK_HEADER names the header and LUMSDK_INCLUDE_PATH (':'-separated) the
directories it needs; LUMSDK_CC the C compiler. CTest sets all three; by
hand the repository's header and ``cc`` are used.
"""

import ctypes
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import REPOSITORY, WAIT
from lumsdk import ErrorCode, _library


def _header():
    named = os.environ.get("LUMSDK_HEADER")
    if named:
        return Path(named)
    return REPOSITORY / "include" / "LUMSDK.h"


HEADER = _header()
HEADER_TEXT = HEADER.read_text()


def _c_name(member):
    """ErrorCode.HOST_UNREACHABLE -> VelmoraErrorHostUnreachable."""
    return "VelmoraError" + "".join(word.capitalize() for word in member.name.split("_"))


def _compile_and_run(tmp_path, body):
    compiler = os.environ.get("LUMSDK_CC") or shutil.which("cc")
    if not compiler:
        pytest.skip("no C compiler: set LUMSDK_CC")
    source = tmp_path / "layout.c"
    source.write_text('#include <stddef.h>\n#include <stdio.h>\n#include "LUMSDK.h"\n'
                      "int main(void) {\n" + body + "  return 0;\n}\n")
    includes = [HEADER.parent] + [Path(p) for p in
                                  os.environ.get("LUMSDK_INCLUDE_PATH", "").split(":") if p]
    program = tmp_path / "layout"
    # The compiler and the program run without the sanitizer runtime that
    # may be preloaded into this Python.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([compiler, "-std=c99", "-Wall", "-Werror", *(f"-I{p}" for p in includes),
                    "-o", str(program), str(source)], check=True, env=env, timeout=WAIT)
    out = subprocess.run([str(program)], check=True, env=env, capture_output=True, text=True,
                         timeout=WAIT).stdout
    return dict(line.rsplit(" ", 1) for line in out.splitlines())


def test_every_record_has_the_c_size_and_field_offsets(tmp_path):
    defined = {value for value in vars(_library).values()
               if isinstance(value, type) and issubclass(value, ctypes.Structure)
               and value.__module__ == _library.__name__}
    assert defined == {record for record, _ in _library.RECORDS}, "a record is not in RECORDS"
    body = []
    expected = {}
    for record, c_name in _library.RECORDS:
        body.append(f'  printf("{c_name} %zu\\n", sizeof({c_name}));\n')
        expected[c_name] = ctypes.sizeof(record)
        for field, field_type in record._fields_:
            key = f"{c_name}.{field}"
            body.append(f'  printf("{key} %zu/%zu\\n", offsetof({c_name}, {field}), '
                        f"sizeof((({c_name} *)0)->{field}));\n")
            expected[key] = f"{getattr(record, field).offset}/{ctypes.sizeof(field_type)}"
    laid_out = _compile_and_run(tmp_path, "".join(body))
    assert {k: str(v) for k, v in expected.items()} == laid_out


def _header_error_codes():
    """{C name: value} from the header's LUMSDK_ERROR_MAP, which makes the enum."""
    body = re.search(r"#define\s+LUMSDK_ERROR_MAP\s*\(\s*\w+\s*\)((?:.*\\\n)*.*)", HEADER_TEXT)
    assert body, f"{HEADER}: no LUMSDK_ERROR_MAP"
    return {"VelmoraError" + name: int(value)
            for name, value in re.findall(r"\w+\(\s*(\w+)\s*,\s*(-?\d+)", body.group(1))}


def test_error_codes_match_the_header(tmp_path):
    assert _header_error_codes() == {_c_name(member): member.value for member in ErrorCode}
    compiled = _compile_and_run(tmp_path, "".join(
        f'  printf("{_c_name(m)} %d\\n", (int){_c_name(m)});\n' for m in ErrorCode))
    assert compiled == {_c_name(m): str(m.value) for m in ErrorCode}


def test_the_prototype_table_has_every_export_with_its_arity():
    declared = {}
    for name, params in re.findall(r"VELMORA_CALL\s+(Velmora\w+)\s*\(([^)]*)\)\s*;",
                                   HEADER_TEXT):
        declared[name] = 0 if params.strip() in ("", "void") else params.count(",") + 1
    table = {export.name: len(export.argtypes) for export in _library.Exports.table()}
    assert len(declared) == 18
    assert table == declared
