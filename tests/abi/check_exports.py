"""Checks the dynamic symbols of libvrel_core.so: every exported vrel_ function is in the ABI v1
inventory and has a prototype in the public headers, every prototype is exported, and nothing but
vrel_ functions (and what the C++ runtime requires) leaves the library."""
import pathlib
import re
import subprocess
import sys

library, source_dir = sys.argv[1], pathlib.Path(sys.argv[2])
inventory = set((source_dir / "tests/abi/export_inventory.txt").read_text().split())
assert len(inventory) == 132, len(inventory)

headers = "".join(p.read_text() for p in (source_dir / "include/vrel").glob("*.h"))
prototypes = set(re.findall(r"VREL_API\s[^;(]*?\b(vrel_\w+)\s*\(", headers))

out = subprocess.run(["nm", "-D", "--defined-only", library], check=True, capture_output=True,
                     text=True).stdout
exported = set()
others = []
for line in out.splitlines():
    parts = line.split()
    if len(parts) < 3:
        continue
    kind, name = parts[1], parts[2]
    if name.startswith("vrel_"):
        exported.add(name)
    elif not re.match(r"^(_init|_fini|__bss_start|_edata|_end|_ZN?St|_ZTS|_ZTI|_ZTV|__asan|__ubsan|__sanitizer|__lsan)", name):
        others.append(name)

problems = []
problems += [f"exported but not in the inventory: {n}" for n in sorted(exported - inventory)]
problems += [f"exported without a prototype: {n}" for n in sorted(exported - prototypes)]
problems += [f"prototype not exported: {n}" for n in sorted(prototypes - exported)]
problems += [f"prototype not in the inventory: {n}" for n in sorted(prototypes - inventory)]
problems += [f"unexpected exported symbol: {n}" for n in sorted(others)]
for p in problems:
    print(p)
print(f"{len(exported)} of {len(inventory)} inventory exports present")
sys.exit(1 if problems else 0)
