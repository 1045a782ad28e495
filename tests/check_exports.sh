#!/usr/bin/env bash
# Fails unless the built library exports exactly the names of the .def file
# (on Windows with their ordinals) and, on Windows, imports only system DLLs.
set -euo pipefail
platform=$1 library=$2 def=$3
expected=$(awk '/@/ {print $1 " " substr($2, 2)}' "$def")
sorted=$(echo "$expected" | awk '{print $1}' | LC_ALL=C sort)
if [ "$sorted" != "$(echo "$expected" | awk '{print $1}')" ]; then
  echo "the .def file is not in byte order"; exit 1
fi
if [ "$(echo "$expected" | awk '{print $2}' | tr '\n' ' ')" != "$(seq 1 18 | tr '\n' ' ')" ]; then
  echo "the .def ordinals are not 1..18"; exit 1
fi
if [ "$platform" = windows ]; then
  dump=$(x86_64-w64-mingw32-objdump -p "$library")
  base=$(echo "$dump" | awk '/^Ordinal Base/ {print $3}')
  # Lines of the "[Ordinal/Name Pointer] Table": "[   N] Name", N = ordinal - base.
  actual=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
           sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \([^ ]*\)$/\2 \1/p' |
           awk -v base="$base" '{print $1 " " $2 + base}')
  imports=$(echo "$dump" | awk '/DLL Name:/ {print $3}' | tr 'A-Z' 'a-z' | sort -u)
  for dll in $imports; do
    case "$dll" in
      kernel32.dll|msvcrt.dll|ws2_32.dll|user32.dll|advapi32.dll|ntdll.dll) ;;
      *) echo "imports a non-system DLL: $dll"; exit 1 ;;
    esac
  done
  echo "imports: $(echo $imports)"
else
  actual=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TtWw]$/ {print $3}' | LC_ALL=C sort |
           awk '{print $1 " " NR}')
fi
if [ "$actual" != "$expected" ]; then
  echo "export table differs"; diff <(echo "$expected") <(echo "$actual") || true; exit 1
fi
echo "exports: $(echo "$actual" | wc -l) names, ordinals 1..18 in byte order"
