#!/usr/bin/env bash
# Installs the Clang build into an empty folder and checks that the installed DLL names the installed PDB in its
# debug directory (by file name alone), that the PDB's GUID and age are the DLL's, and that the PDB's publics hold
# the export and the library's own functions. Argument: build tree.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work" >/dev/null
dll=$work/bin/ZelvarSDK.dll pdb=$work/bin/ZelvarSDK.pdb
fail() { echo "pdb-check: $*" >&2; exit 1; }
debug=$(llvm-readobj --coff-debug-directory "$dll")
name=$(sed -n 's/^ *PDBFileName: //p' <<<"$debug")
[ "$name" = ZelvarSDK.pdb ] || fail "the DLL names '$name', not ZelvarSDK.pdb"
# The debug directory shows the GUID's bytes; the PDB shows it as a GUID, whose first three fields are
# little-endian in those bytes.
read -r -a b < <(sed -n 's/^ *PDBGUID: (\(.*\))/\1/p' <<<"$debug")
[ "${#b[@]}" -eq 16 ] || fail "no GUID in the DLL's debug directory"
dll_guid="{${b[3]}${b[2]}${b[1]}${b[0]}-${b[5]}${b[4]}-${b[7]}${b[6]}-${b[8]}${b[9]}-${b[*]:10}}"
dll_guid=${dll_guid// /}
dll_age=$(sed -n 's/^ *PDBAge: //p' <<<"$debug")
summary=$(llvm-pdbutil dump -summary "$pdb")
pdb_guid=$(sed -n 's/^ *GUID: //p' <<<"$summary")
pdb_age=$(sed -n 's/^ *Age: //p' <<<"$summary")
[ "$dll_guid" = "$pdb_guid" ] || fail "GUID: the DLL wants $dll_guid, the PDB is $pdb_guid"
[ "$dll_age" = "$pdb_age" ] || fail "age: the DLL wants $dll_age, the PDB is $pdb_age"
publics=$(llvm-pdbutil dump -publics "$pdb")
for symbol in '`QueryInterface`' BrennicZelvarSDK19SharedExclusiveLock13AcquireShared \
  BrennicZelvarSDK18ZVImplementationV121Uninitialize_Internal; do
  grep -qF "$symbol" <<<"$publics" || fail "the PDB's publics lack $symbol"
done
echo "pdb-check: ZelvarSDK.dll names ZelvarSDK.pdb, GUID $dll_guid age $dll_age, symbols present"
