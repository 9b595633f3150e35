#!/usr/bin/env bash
# A DLL built for another processor carries the tables of the x86-64 DLL: the export table with
# the same names at the same ordinals (base 1), imports from the same system DLLs, the same
# resources, and the console subsystem; its PE header names its own
# processor, and its subsystem version is 6.2 (Windows 8, the first Windows on ARM).
# llvm's tools read PE files of every machine type.
#   check_dll_tables.sh X86_64_DLL DLL MACHINE     MACHINE: 0xAA64 (ARM64) or 0x1C4 (ARMv7)
set -euo pipefail
reference=$1 dll=$2 machine=$3
objdump=llvm-objdump-15 readobj=llvm-readobj-15

exports() { "$objdump" -p "$1" | sed -n '/^Export Table:/,/^$/p' | grep -E '^ *(Ordinal base|[0-9]+ )' |
  awk '/Ordinal base/ {print; next} {print $1, $3}'; }
imports() { "$objdump" -p "$1" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort; }
# Each resource's type, id and language, and the bytes of all but the type library (whose
# record names the pointer size: 32-bit DLLs differ there).
resources() { "$readobj" --coff-resources "$1" | awk '
  /^ *(Type|Name|Language): / {sub(/^ */, ""); sub(/ \[$/, ""); print; if ($1 == "Type:") type = $2}
  /^ *[0-9A-F]+: / && type != "TYPELIB" {print}'; }
subsystem() { "$objdump" -p "$1" | sed -n 's/^Subsystem .*(\(.*\))/\1/p'; }
failed=0
same() {
  local what=$1 expected=$2 actual=$3
  if [ -z "$expected" ] || [ "$expected" != "$actual" ]; then
    printf 'different %s:\n-- x86-64 DLL --\n%s\n-- %s --\n%s\n' "$what" "$expected" "$dll" "$actual" >&2
    failed=1
  fi
}
same "export table" "$(exports "$reference")" "$(exports "$dll")"
same imports "$(imports "$reference")" "$(imports "$dll")"
same resources "$(resources "$reference")" "$(resources "$dll")"
same subsystem "$(subsystem "$reference")" "$(subsystem "$dll")"
actual_machine=$("$readobj" --file-headers "$dll" | sed -n 's/^ *Machine: .*(\(0x[0-9A-Fa-f]*\))$/\1/p')
if [ "${actual_machine,,}" != "${machine,,}" ]; then
  echo "machine $actual_machine, not $machine" >&2
  failed=1
fi
version=$("$objdump" -p "$dll" | awk '/^MajorSubsystemVersion/ {major=$2} /^MinorSubsystemVersion/ {print major "." $2}')
if [ "$version" != 6.2 ]; then
  echo "subsystem version $version, not 6.2" >&2
  failed=1
fi
if [ "$failed" -ne 0 ]; then exit 1; fi
echo "machine $actual_machine, subsystem version $version; exports, imports, resources and subsystem as in the x86-64 DLL"
