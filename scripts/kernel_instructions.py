#!/usr/bin/env python3
"""Instructions per 32 rows per query of every scan kernel, counted in the
generated code (objdump -d of the kernel objects), for docs/arm.md.

    scripts/kernel_instructions.py [X86_BUILD] [ARM_BUILD]   (default build/cpp build/arm)

For each kernel the innermost loop holding its lookups or dot products is
found in the disassembly (the loop over one group of 32 coordinates, or one
code word); its length, scaled to 32 coordinates, 32 rows and one query,
is what a row costs per 32 of its coordinates. The work before and after
the loop (the bound test or the score of each row, once per row) is left
out: it does not grow with the dimension. Static counts: they say what each
level asks of the CPU, not how fast a given CPU runs it.
"""

import collections
import pathlib
import re
import subprocess
import sys

X86 = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/cpp")
ARM = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else "build/arm")
KERNELS = "CMakeFiles/lodex_core.dir/src/kernels"


def arm_groups(nq, registers):
    return max(1, min(4, 16 // (nq * registers)))


def x86_units(nq, wide):
    return (4 if nq <= 2 else 2) if wide else (4 if nq <= 2 else 2 if nq <= 4 else 1)


# level, kind, object, the function (or the exported one it is inlined into),
# rows per loop pass for nq queries, coordinates per loop pass at b bits, the
# instruction that marks the loop and how many a pass holds: the loop is the
# smallest one with exactly that many.
SPECS = [
    ("avx2", "exact", X86, "scan_avx2", lambda b, nq: f"scan_avx2<{b}>(", lambda nq: 32, lambda b: 32,
     r"vpermps|vgatherdps", lambda b, nq: 256 if b == 4 else 128),
    ("avx512", "exact", X86, "scan_avx512", lambda b, nq: f"scan_blocks<{b}, 4>(", lambda nq: 64, lambda b: 32,
     r"vperm", lambda b, nq: 128),
    ("neon", "exact", ARM, "scan_neon", lambda b, nq: f"scan_neon_{b}(" if b < 5 else "scan_neon<5>(",
     lambda nq: 32, lambda b: 32, r"^tb[lx]$", lambda b, nq: 512 if b == 5 else 256),
    ("avx2", "pass", X86, "pass_avx2", lambda b, nq: f"rank1_halves<{b}, {x86_units(nq, False)}, {nq}>(",
     lambda nq: 8 * x86_units(nq, False), lambda b: 32, r"vpmaddubsw", lambda b, nq: 8 * x86_units(nq, False) * nq),
    ("avx512", "pass", X86, "pass_avx512", lambda b, nq: f"rank1_blocks<{b}, {x86_units(nq, True)}, {nq}>(",
     lambda nq: 16 * x86_units(nq, True), lambda b: 32, r"vpmaddubsw", lambda b, nq: 8 * x86_units(nq, True) * nq),
    ("avx512vnni", "pass", X86, "pass_avx512vnni", lambda b, nq: f"rank1_blocks<{b}, {x86_units(nq, True)}, {nq}>(",
     lambda nq: 16 * x86_units(nq, True), lambda b: 32, r"vpdpbusd", lambda b, nq: 8 * x86_units(nq, True) * nq),
    ("avx512vbmi", "pass", X86, "pass_avx512vbmi",
     lambda b, nq: f"nibble_blocks<{x86_units(nq, True)}, {nq}>(" if b in (2, 4)
     else f"octet_blocks<{b}, {x86_units(nq, True)}, {nq}>(",
     lambda nq: 16 * x86_units(nq, True), lambda b: {2: 16, 4: 8}.get(b, 32), r"vpdpbusd",
     lambda b, nq: (2 if b in (2, 4) else 8) * x86_units(nq, True) * nq),
    ("neon", "pass", ARM, "pass_neon", lambda b, nq: f"rank1_rows<{b}, {arm_groups(nq, 2)}, {nq}>(",
     lambda nq: 4 * arm_groups(nq, 2), lambda b: 32, r"^smull$", lambda b, nq: 4 * arm_groups(nq, 2) * nq),
    ("neondot", "pass", ARM, "pass_neondot", lambda b, nq: f"rank1_rows<{b}, {arm_groups(nq, 1)}, {nq}>(",
     lambda nq: 4 * arm_groups(nq, 1), lambda b: 32, r"^sdot$", lambda b, nq: 8 * arm_groups(nq, 1) * nq),
]


def objdump_tool(obj):
    header = subprocess.run(["readelf", "-h", str(obj)], capture_output=True, text=True).stdout
    return "aarch64-linux-gnu-objdump" if "AArch64" in header else "objdump"


_functions = {}


def functions(obj):
    if obj not in _functions:
        out = subprocess.run([objdump_tool(obj), "-d", "-C", "--no-show-raw-insn", str(obj)], capture_output=True,
                             text=True, check=True).stdout
        funcs = collections.OrderedDict()
        current = None
        for line in out.splitlines():
            m = re.match(r"^([0-9a-f]+) <(.*)>:$", line)
            if m:
                current = m.group(2)
                funcs[current] = []
                continue
            m = re.match(r"^\s+([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
            if m and current is not None:
                funcs[current].append((int(m.group(1), 16), m.group(2), m.group(3)))
        _functions[obj] = funcs
    return _functions[obj]


BRANCH = re.compile(r"^(j[a-z]+|b(\.[a-z]+)?|cbn?z|tbn?z)$")


def loop_length(instructions, key, expected):
    """Length of the smallest loop holding exactly `expected` key instructions."""
    best = None
    for address, op, args in instructions:
        target = re.search(r"(?:^|[ ,])([0-9a-f]+) <", args)
        if BRANCH.match(op) and target and int(target.group(1), 16) <= address:
            body = [i for i in instructions if int(target.group(1), 16) <= i[0] <= address]
            if sum(1 for i in body if re.search(key, i[1])) == expected:
                best = len(body) if best is None else min(best, len(body))
    return best


def count(spec, bits, nq):
    level, kind, base, obj_name, function, rows, coords, key, expected = spec
    obj = base / KERNELS / f"{obj_name}.cpp.o"
    if not obj.exists():
        return None
    funcs = functions(obj)
    # The instance itself, or the exported kernel it was inlined into.
    candidates = [ins for name, ins in funcs.items() if function(bits, nq) in name]
    candidates = candidates or [ins for name, ins in funcs.items() if f"{obj_name}_{bits}(" in name]
    lengths = [n for ins in candidates if (n := loop_length(ins, key, expected(bits, nq))) is not None]
    if not lengths:
        return None
    return min(lengths) * (32 / coords(bits)) * (32 / rows(nq)) / nq


def main():
    print("| level | kernel | queries | 2 bits | 3 bits | 4 bits | 5 bits |")
    print("|---|---|---|---|---|---|---|")
    for spec in SPECS:
        level, kind = spec[0], spec[1]
        for nq in (1,) if kind == "exact" else (1, 8):
            cells = []
            for bits in (2, 3, 4, 5):
                n = count(spec, bits, nq)
                cells.append("–" if n is None else f"{n:.0f}")
            label = "exact scan" if kind == "exact" else "first pass"
            print(f"| {level} | {label} | {nq} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
