#!/usr/bin/env python3
"""Instructions per 32 rows per query of every scan kernel, counted in the
generated code (objdump -d of the kernel objects), for docs/arm.md.

    scripts/kernel_instructions.py [X86_BUILD] [ARM_BUILD]   (default build/cpp build/arm)

For each kernel, the loops of its instance for the given number of queries
are found in the disassembly; the main one is the loop densest in the
kernel's marking instruction (its lookup or dot product), the innermost loop
over the codes. Its length per marking instruction, times the marking
instructions 32 rows need for 32 coordinates and one query, is the count
reported. The work once per row (the bound test, the score) is left out: it
does not grow with the dimension. Static counts: they say what each level
asks of the CPU, not how fast a given CPU runs it.
"""

import collections
import pathlib
import re
import subprocess
import sys

X86 = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/cpp")
ARM = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else "build/arm")

# level, kernel, build, object, instance name (bits b, queries nq), marking
# instruction, how many of them 32 rows need per 32 coordinates and query.
ENTRIES = [
    ("avx2", "exact scan", X86, "scan_avx2", lambda b, nq: f"scan_avx2<{b}>(", r"^(vpermps|vgatherdps)$",
     lambda b: 256 if b == 4 else 128),  # one per 8 rows, two at 4 bits
    ("avx512", "exact scan", X86, "scan_avx512", lambda b, nq: f"scan_blocks<{b}, ", r"^vperm", lambda b: 64),
    ("neon", "exact scan", ARM, "scan_neon", lambda b, nq: f"scan_neon_{b}(" if b < 5 else "scan_neon<5>(",
     r"^tb[lx]$", lambda b: 512 if b == 5 else 256),  # one per 4 rows, two at 5 bits
    ("avx2", "first pass", X86, "pass_avx2", lambda b, nq: f"rank1_halves<{b}, ", r"^vpmaddubsw$",
     lambda b: 32),  # one per quad (8 a group) and 8 rows
    ("avx512", "first pass", X86, "pass_avx512", lambda b, nq: f"rank1_blocks<{b}, ", r"^vpmaddubsw$",
     lambda b: 16),
    ("avx512vnni", "first pass", X86, "pass_avx512vnni", lambda b, nq: f"rank1_blocks<{b}, ", r"^vpdpbusd$",
     lambda b: 16),
    # 2 and 4 bits: two per code word and 16 rows; 3 and 5 bits: two per octet.
    ("avx512vbmi", "first pass", X86, "pass_avx512vbmi",
     lambda b, nq: "nibble_blocks<" if b in (2, 4) else f"octet_blocks<{b}, ", r"^vpdpbusd$",
     lambda b: {2: 8, 4: 16}.get(b, 16)),
    ("neon", "first pass", ARM, "pass_neon", lambda b, nq: f"rank1_rows<{b}, ", r"^smull$",
     lambda b: 32),  # one per pair of quads and 4 rows
    ("neondot", "first pass", ARM, "pass_neondot", lambda b, nq: f"rank1_rows<{b}, ", r"^sdot$", lambda b: 64),
]
GROUPS = {"neon": 8}  # the largest query group of a level's pass; 16 elsewhere

BRANCH = re.compile(r"^(j[a-z]+|b(\.[a-z]+)?|cbn?z|tbn?z)$")


def disassembly(obj):
    header = subprocess.run(["readelf", "-h", str(obj)], capture_output=True, text=True).stdout
    tool = "aarch64-linux-gnu-objdump" if "AArch64" in header else "objdump"
    out = subprocess.run([tool, "-d", "-C", "--no-show-raw-insn", str(obj)], capture_output=True, text=True,
                         check=True).stdout
    funcs = collections.OrderedDict()
    current = None
    for line in out.splitlines():
        m = re.match(r"^([0-9a-f]+) <(.*)>:$", line)
        if m:
            current = m.group(2)
            funcs[current] = []
        elif (m := re.match(r"^\s+([0-9a-f]+):\s+(\S+)\s*(.*)$", line)) and current is not None:
            funcs[current].append((int(m.group(1), 16), m.group(2), m.group(3)))
    return funcs


def loops(instructions, key):
    """(marking instructions, length) of every loop (a backward branch) that holds some."""
    found = []
    for address, op, args in instructions:
        target = re.search(r"(?:^|[ ,])([0-9a-f]+) <", args)
        if BRANCH.match(op) and target and int(target.group(1), 16) <= address:
            body = [i for i in instructions if int(target.group(1), 16) <= i[0] <= address]
            keys = sum(1 for i in body if re.search(key, i[1]))
            if keys:
                found.append((keys, len(body)))
    return found


def count(entry, bits, nq, cache={}):
    level, kernel, base, obj_name, instance, key, per_32 = entry
    # Kernel objects sit below their library's folder, by architecture.
    obj = next(base.glob(f"CMakeFiles/*/src/kernels/**/{obj_name}.cpp.o"), None)
    if obj is None:
        return None
    if obj not in cache:
        cache[obj] = disassembly(obj)
    prefix = instance(bits, nq)
    # The instance for nq queries: its template arguments end with nq (the
    # exact scans have one instance per width).
    names = [n for n in cache[obj] if prefix in n and (kernel == "exact scan" or re.search(rf"[ ,<]{nq}>\(", n))]
    if not names and nq > 1:
        # The instance was inlined into the kernel or its query splitter:
        # the densest loop of the width is that of the largest group.
        names = [n for n in cache[obj] if re.search(rf"<{bits}[,>]|_{bits}\(", n)]
    found = [lp for n in names for lp in loops(cache[obj][n], key)]
    if not found:
        return None
    keys, length = max(found, key=lambda kl: kl[0] / kl[1])
    return length / keys * per_32(bits)


def main():
    print("| level | kernel | queries | 2 bits | 3 bits | 4 bits | 5 bits |")
    print("|---|---|---|---|---|---|---|")
    for entry in ENTRIES:
        level, kernel = entry[0], entry[1]
        for nq in (1,) if kernel == "exact scan" else (1, GROUPS.get(level, 16)):
            cells = ["–" if (n := count(entry, b, nq)) is None else f"{n:.0f}" for b in (2, 3, 4, 5)]
            print(f"| {level} | {kernel} | {nq} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
