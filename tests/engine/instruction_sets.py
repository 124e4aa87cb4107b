#!/usr/bin/env python3
"""Checks from the disassembly that a binary linking the engine runs on baseline x86-64: only
the PEXT builds (the perft enumerator's and the fog-of-war generator's, pseudo_legal_pext) may
use BMI1, BMI2 and popcnt, only the enumerator's magic build,
MoveGen's popcnt count and the popcnt clones of target_clones functions may use popcnt, and
nothing uses AVX. The builds are chosen at run
time, so an instruction leaking into shared code (an inline function or template compiled
inside a target region and kept by the linker) would crash a CPU without it.

    instruction_sets.py <binary>

Also checks that each build's bulk count, and the fog-of-war generator's PEXT build, really
use their instructions. Exits 0 when all
holds, 1 otherwise, and 77 (CTest's skip code here) when objdump is missing or the binary is
not x86-64.
"""

import re
import shutil
import subprocess
import sys
from collections import defaultdict

SKIP = 77

# tzcnt is left out: compilers emit it (as "rep bsf") for baseline code too, and a CPU
# without BMI1 runs it as bsf, which agrees for every non-zero input.
BMI = {"andn", "bextr", "blsi", "blsmsk", "blsr", "pdep", "pext", "shlx", "shrx", "sarx", "rorx", "bzhi", "mulx",
       "lzcnt"}
POPCNT = {"popcnt"}
# AVX and later: every VEX- or EVEX-encoded vector instruction starts with a "v".
AVX = re.compile(r"^v(?!err|erw)[a-z0-9]+$")

FUNCTION = re.compile(r"^[0-9a-f]+ <(.*)>:$")
INSTRUCTION = re.compile(r"^\s+[0-9a-f]+:\s+(?:(?:rep|repz|repnz|lock|notrack|bnd|data16|cs|ds)\s+)*([a-z][a-z0-9]*)")


def disassemble(binary):
    """{function name: set of mnemonics} for every function of the binary."""
    out = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", binary], capture_output=True, text=True,
                         check=True).stdout
    functions = defaultdict(set)
    name = None
    for line in out.splitlines():
        m = FUNCTION.match(line)
        if m:
            name = m.group(1)
            continue
        m = INSTRUCTION.match(line)
        if m and name is not None:
            functions[name].add(m.group(1))
    return functions


def allowed(name):
    """The instructions beyond baseline that function `name` may use."""
    # PextLookups writes PEXT as the instruction itself, for callers that run only where it is.
    if "PextTools" in name or "pseudo_legal_pext" in name or "PextLookups" in name:
        return BMI | POPCNT
    # "[clone .popcnt]" is the compiler's popcnt build of a target_clones function, which the
    # loader picks only on a CPU with the instruction.
    if "MagicTools" in name or "count_moves_popcnt" in name or name.endswith("[clone .popcnt]"):
        return POPCNT
    return set()


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.splitlines()[0])
    binary = sys.argv[1]
    if shutil.which("objdump") is None:
        print("SKIPPED: no objdump on PATH")
        return SKIP
    header = subprocess.run(["objdump", "-f", binary], capture_output=True, text=True, check=True).stdout
    if "x86-64" not in header:
        print("SKIPPED: not an x86-64 binary")
        return SKIP

    functions = disassemble(binary)
    faults = []
    for name, mnemonics in sorted(functions.items()):
        beyond = {m for m in mnemonics if m in BMI or m in POPCNT or AVX.match(m)}
        extra = beyond - allowed(name)
        if extra:
            faults.append(f"{name}: {' '.join(sorted(extra))}")

    # The builds must use what they were built for, or the dispatch buys nothing.
    # (A "[clone .cold]" part holds only the unlikely paths that the compiler moved aside.)
    counts = {tools: [mn for name, mn in functions.items()
                      if "count_moves<" in name and tools in name and "[clone" not in name]
              for tools in ("PextTools", "MagicTools", "BaselineTools")}
    for tools, needs in (("PextTools", {"pext", "popcnt"}), ("MagicTools", {"popcnt"})):
        if not counts[tools]:
            faults.append(f"no count_moves of {tools} in the binary")
        for mnemonics in counts[tools]:
            if not needs <= mnemonics:
                faults.append(f"a count_moves of {tools} lacks {' '.join(sorted(needs - mnemonics))}")
                break
    if not counts["BaselineTools"]:
        faults.append("no count_moves of BaselineTools in the binary")
    # Likewise the fog-of-war generator's PEXT build.
    pseudo = [mn for name, mn in functions.items() if "pseudo_legal_pext" in name and "[clone" not in name]
    if not any("pext" in mnemonics for mnemonics in pseudo):
        faults.append("no pseudo_legal_pext using pext in the binary")

    for fault in faults:
        print(fault)
    print(f"{len(functions)} functions checked, {sum(len(v) for v in counts.values())} bulk counts; "
          f"{len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
