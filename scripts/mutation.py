#!/usr/bin/env python3
"""Mutation testing: how many planted faults does the test suite catch?

Plants one fault at a time into the product sources (*.cpp of strutil, log,
config, hex, icd2, driver), rebuilds incrementally, runs the tests (without
the packaging ones) and reports each mutant as caught, survived, timed out or
build-failed. Mutants are drawn reproducibly from --seed; --list only prints
them. The score is (caught + timed out) / mutants that build.
  scripts/mutation.sh --seed 1 --count 60 [--build-dir DIR] [--timeout S] [--jobs N]
Sources are edited in place and always put back; do not edit them meanwhile.
Relative paths are taken from the source root.

With --catalogue the mutants are the realistic faults of tests/faults.txt
instead, each applied alone: every one must be caught. An entry whose text is
not found exactly once in its file "does not apply" and fails the run: the
catalogue must follow the code.
  scripts/mutation.sh --catalogue [FILE] [--only N,M-K] [--build-dir DIR] [--jobs N]
"""
import argparse, contextlib, json, os, random, re, signal, subprocess, sys, tempfile, time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE_DIRS = ["config", "driver", "hex", "icd2", "log", "strutil"]
PACKAGING_TESTS = r"^install_|deb|lintian"
COMPARISON = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LITERAL = re.compile(r"(?<![\w.'])(0[xX][0-9A-Fa-f]+|\d+)(?=[uUlL]*(?![\w.']))")
SIMPLE_ARG = re.compile(r"[&*]?[A-Za-z_]\w*(?:(?:\.|->|::)\w+|\[\w+\])*|-?\d\w*|'\s+'")
LEXEMES = re.compile(r'//[^\n]*|/\*.*?\*/|\bR"(\w*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
NOT_CALLS = {"if", "for", "while", "switch", "return", "sizeof", "catch", "decltype", "static_assert"}


def mask(text):
    """Blanks comments and the insides of string and character literals, keeping every offset."""
    def blank(m):
        s, keep = m.group(), 0 if m.group()[0] == "/" else 1
        return s[:keep] + re.sub(r"[^\n]", " ", s[keep:len(s) - keep]) + s[len(s) - keep:]
    return LEXEMES.sub(blank, text)


def literal(text, value):
    if text[:2].lower() == "0x":
        return text[:2] + format(value, "0%d%s" % (len(text) - 2, "x" if text[2:].islower() else "X"))
    return str(value)


def line_edits(line, code, head):
    """Yields (start, end, replacement) for one line, operator by operator; code is the line masked,
    head the line that opened the enclosing brace block."""
    for m in re.finditer(r"(?<= )(<=|>=|==|!=|<|>)(?= )", code):  # comparisons
        yield m.start(), m.end(), COMPARISON[m.group()]
    for m in re.finditer(r"(?<= )(&&|\|\|)(?= )", code):  # logical connectives
        yield m.start(), m.end(), "||" if m.group() == "&&" else "&&"
    literals = [(m, int(m.group(), 16 if m.group()[:2].lower() == "0x" else 10)) for m in LITERAL.finditer(code)]
    for m, value in literals:  # constants off by one
        yield m.start(), m.end(), literal(m.group(), value + 1)
    m = re.search(r"\breturn (-?\d+);", code)  # returned status codes
    if m:
        for value in [int(m.group(1)) + 1, 0] if int(m.group(1)) else [1]:
            yield m.start(1), m.end(1), str(value)
    m = re.search(r"\breturn (true|false);", code)
    if m:
        yield m.start(1), m.end(1), "false" if m.group(1) == "true" else "true"
    statement = code.strip()  # dropped checks and returns from inside a block
    if re.fullmatch(r"if \(.*\) (return|break|continue)\b.*;", statement) or (
            re.fullmatch(r"return\b.*;", statement) and re.search(r"\b(if|else|for|while|switch|do)\b", head)):
        yield 0, len(code), ""
    for m, value in literals:  # masks lose their top bit
        if m.group()[:2].lower() == "0x" and value:
            yield m.start(), m.end(), literal(m.group(), value & ~(1 << (value.bit_length() - 1)))
    for m in re.finditer(r"(?<=<< |>> )\d+\b", code):  # shifts one short
        if int(m.group()):
            yield m.start(), m.end(), str(int(m.group()) - 1)
    for m in re.finditer(r"\b(\w+)\s*\(", code):  # adjacent simple arguments swapped
        if m.group(1) in NOT_CALLS:
            continue
        args, depth, start = [], 0, m.end()
        for i in range(m.end(), len(code)):
            if code[i] in "([{":
                depth += 1
            elif code[i] in ")]}" and depth:
                depth -= 1
            elif code[i] in ")]}" or (code[i] == "," and not depth):
                arg = re.match(r"\s*(.*?)\s*$", code[start:i])
                args.append((start + arg.start(1), start + arg.end(1)))
                start = i + 1
                if code[i] != ",":
                    break
        for (a1, b1), (a2, b2) in zip(args, args[1:]):
            if SIMPLE_ARG.fullmatch(code[a1:b1]) and SIMPLE_ARG.fullmatch(code[a2:b2]) and line[a1:b1] != line[a2:b2]:
                yield a1, b2, line[a2:b2] + line[b1:a2] + line[a1:b1]


def candidates():
    """Every mutant of the sources in a fixed order: (path, line number, original, mutated)."""
    found = []
    for path in sorted(p for d in SOURCE_DIRS for p in (ROOT / d).glob("*.cpp")):
        text = path.read_bytes().decode()
        blocks, continued = [], False
        for number, (line, code) in enumerate(zip(text.split("\n"), mask(text).split("\n")), 1):
            head = blocks[-1] if blocks else ""
            for ch in code:
                if ch == "{":
                    blocks.append(code)
                elif ch == "}" and blocks:
                    blocks.pop()
            if continued or code.lstrip().startswith("#"):
                continued = line.endswith("\\")
                continue
            seen = {line}
            for start, end, new in line_edits(line, code, head):
                mutated = line[:start] + new + line[end:]
                if mutated not in seen:
                    seen.add(mutated)
                    found.append((str(path.relative_to(ROOT)), number, line, mutated))
    return found


CATALOGUE = ROOT / "tests" / "faults.txt"


def catalogue(path):
    """The faults of a catalogue file: (line number, file, old text, new text, what a user notices).
    One fault a line: file | old | new | notice; a literal " | " inside a text is written " \\| "
    and a line break "\u21b5" (to reach a line that only its neighbour tells apart); blank lines
    and lines starting with # are skipped."""
    faults = []
    for number, line in enumerate(Path(path).read_text(encoding="utf-8").split("\n"), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = [f.replace("\x00", " | ").replace("\u21b5", "\n")
                  for f in line.replace(" \\| ", "\x00").split(" | ")]
        if len(fields) != 4 or not all(fields):
            sys.exit(f"{path}:{number}: wants four fields: file | old | new | what a user notices")
        faults.append((number, *fields))
    return faults


def fault_applies(fault):
    """Whether the fault can be planted and put back, checked without touching the file."""
    _, name, old, new, _ = fault
    path = ROOT / name
    text = path.read_bytes().decode() if path.exists() else ""
    return text.count(old) == 1 and text.replace(old, new).count(new) == 1


def apply_fault(fault, forward=True):
    """Replaces old by new (or back) in the fault's file; False when the text is not there exactly once."""
    _, name, old, new, _ = fault
    path = ROOT / name
    if not forward:
        old, new = new, old
    text = path.read_bytes().decode() if path.exists() else ""
    changed = text.replace(old, new)
    # Both ways must be unambiguous, or the fault could not be put back.
    if text.count(old) != 1 or changed.count(new) != 1:
        return False
    path.write_bytes(changed.encode())
    os.utime(path)
    return True


def describe(mutant):
    path, number, old, new = mutant
    return f"{path}:{number}: {old.strip()} -> {new.strip() or '(line removed)'}"


def replace_line(path, number, old, new):
    """Puts new in place of line number when it reads old (or already reads new); True on success."""
    lines = path.read_bytes().decode().split("\n")
    if number > len(lines) or lines[number - 1] not in (old, new):
        return False
    lines[number - 1] = new
    path.write_bytes("\n".join(lines).encode())
    os.utime(path)  # newer than every object built meanwhile, so the next build recompiles it
    return True


def kill_tree(pid):
    """Kills pid and all its descendants, also those that started a session of their own."""
    children = {}
    for stat in Path("/proc").glob("[0-9]*/stat"):
        with contextlib.suppress(OSError, IndexError, ValueError):
            children.setdefault(int(stat.read_text().rsplit(")", 1)[1].split()[1]), []).append(int(stat.parent.name))
    tree = [pid]
    for process in tree:  # grows while it is walked
        tree += children.get(process, [])
    for process in tree:
        with contextlib.suppress(ProcessLookupError):
            os.kill(process, signal.SIGKILL)


def run(command, timeout):
    """Runs command in a session of its own; returns (exit code, or None on timeout; output)."""
    with tempfile.TemporaryFile("w+") as output:
        process = subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            status = None
        finally:
            if process.poll() is None:
                kill_tree(process.pid)
                process.wait()
        output.seek(0)
        return status, output.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=1, help="draws the mutants (default 1)")
    parser.add_argument("--count", type=int, default=60, help="number of mutants (default 60)")
    parser.add_argument("--build-dir", default="build/mutation", help="default build/mutation")
    parser.add_argument("--timeout", type=float, help="seconds for one test run (default 300, at least 3 times"
                        " the unmutated run)")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build and test jobs (default 2)")
    parser.add_argument("--list", action="store_true", help="only print the chosen mutants")
    parser.add_argument("--catalogue", nargs="?", const=str(CATALOGUE), metavar="FILE",
                        help="apply the faults of the catalogue (default tests/faults.txt) instead")
    parser.add_argument("--only", help="with --catalogue: the entries to run, by number (1,4,7-9)")
    args = parser.parse_args()
    if args.catalogue:
        faults = catalogue(args.catalogue)
        if args.only:
            wanted = set()
            for part in args.only.split(","):
                first, _, last = part.partition("-")
                wanted.update(range(int(first), int(last or first) + 1))
            faults = [f for i, f in enumerate(faults, 1) if i in wanted]
        missing = [f for f in faults if not fault_applies(f)]
        if missing:
            sys.exit("".join(f"does not apply: {args.catalogue}:{f[0]} {f[1]}: {f[2]!r}\n" for f in missing) +
                     f"{len(missing)} of {len(faults)} entries do not apply: update them to the code")
        print(f"{len(faults)} faults from {args.catalogue}", flush=True)
        if args.list:
            print("".join(f"{f[1]}: {f[4]}\n" for f in faults), end="")
            return 0
    else:
        everything = candidates()
        picks = random.Random(args.seed).sample(range(len(everything)), min(args.count, len(everything)))
        chosen = [everything[i] for i in sorted(picks)]
        print(f"{len(chosen)} of {len(everything)} mutants, seed {args.seed}", flush=True)
        if args.list:
            print("\n".join(describe(mutant) for mutant in chosen))
            return 0

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # unwinds, so the source is put back
    build = ROOT / args.build_dir
    pending = build / "mutation-pending.json"  # the mutant in place, should a run die before putting it back
    if pending.exists():
        left = json.loads(pending.read_text())
        if len(left) == 5:
            if not apply_fault(left, False):
                sys.exit(f"{left[1]} should read {left[2]!r}; put it back by hand, then delete {pending}")
        elif not replace_line(ROOT / left[0], left[1], left[3], left[2]):
            sys.exit(f"{left[0]}:{left[1]} should read {left[2]!r}; put it back by hand, then delete {pending}")
        pending.unlink()
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DTARNWELL_BUILD_TESTS=ON", "-DTARNWELL_FUZZ=OFF", "-DTARNWELL_SANITIZE=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
    build_command = ["cmake", "--build", build, "-j", str(args.jobs)]
    test_command = ["ctest", "--test-dir", build, "-j", str(args.jobs), "--stop-on-failure", "-E", PACKAGING_TESTS]
    for what, command in ("build", build_command), ("pass the tests", test_command + ["--timeout", "1800"]):
        started = time.monotonic()
        status, output = run(command, 3600)
        if status != 0:
            sys.exit(f"{output[-4000:]}\nthe unmutated sources do not {what}")
    baseline = time.monotonic() - started
    timeout = args.timeout or max(300.0, 3 * baseline)
    if baseline > timeout:
        sys.exit(f"the unmutated tests take {baseline:.0f} s, more than --timeout {timeout:.0f}")
    test_command += ["--timeout", str(int(timeout))]
    print(f"unmutated tests pass in {baseline:.0f} s; limit per mutant {timeout:.0f} s", flush=True)

    if args.catalogue:
        return run_catalogue(faults, pending, build_command, test_command, timeout)
    results, started = {verdict: [] for verdict in ("caught", "timed out", "survived", "build-failed")}, time.monotonic()
    for index, mutant in enumerate(chosen, 1):
        begun, (path, number, old, new) = time.monotonic(), mutant
        verdict = trial(mutant, pending, lambda: replace_line(ROOT / path, number, old, new),
                        lambda: replace_line(ROOT / path, number, new, old),
                        f"{path}:{number} no longer reads {old!r}", f"{path}:{number}, it should read {old!r}",
                        build_command, test_command, timeout)
        results[verdict].append(mutant)
        print(f"[{index:3}/{len(chosen)}] {verdict:12} {describe(mutant)}  ({time.monotonic() - begun:.0f} s)",
              flush=True)

    valid = len(chosen) - len(results["build-failed"])
    detected, elapsed = len(results["caught"]) + len(results["timed out"]), time.monotonic() - started
    print(", ".join(f"{verdict} {len(found)}" for verdict, found in results.items()) + " (not counted)")
    print(f"score {detected}/{valid} = {100 * detected / max(valid, 1):.1f}%; "
          f"{elapsed / 60:.1f} min, {elapsed / max(len(chosen), 1):.0f} s per mutant")
    print("".join(f"survived: {describe(mutant)}\n" for mutant in results["survived"]), end="")
    return 0


def trial(mutant, pending, plant, put_back, gone, stuck, build_command, test_command, timeout):
    """Plants one mutant, builds and tests, and always puts the source back: its verdict."""
    pending.write_text(json.dumps(mutant))
    if not plant():
        sys.exit(f"{gone}: the sources changed under the run")
    try:
        if run(build_command, 3600)[0] != 0:
            return "build-failed"
        status = run(test_command, timeout)[0]
        return "timed out" if status is None else "survived" if status == 0 else "caught"
    finally:
        if put_back():
            pending.unlink()
        else:
            print(f"COULD NOT PUT BACK {stuck}", flush=True)


def run_catalogue(faults, pending, build_command, test_command, timeout):
    """Applies each fault alone, builds and tests; every fault must be caught. Exit 1 when one is not."""
    results, started = {verdict: [] for verdict in ("caught", "timed out", "survived", "build-failed")}, time.monotonic()
    for index, fault in enumerate(faults, 1):
        begun = time.monotonic()
        verdict = trial(fault, pending, lambda: apply_fault(fault), lambda: apply_fault(fault, False),
                        f"{fault[1]}: {fault[2]!r} is no longer there exactly once",
                        f"{fault[1]}: it should read {fault[2]!r}", build_command, test_command, timeout)
        results[verdict].append(fault)
        print(f"[{index:3}/{len(faults)}] {verdict:12} line {fault[0]}: {fault[1]}: {fault[4]}"
              f"  ({time.monotonic() - begun:.0f} s)", flush=True)
    elapsed = time.monotonic() - started
    print(", ".join(f"{verdict} {len(found)}" for verdict, found in results.items()))
    print(f"{len(faults)} faults in {elapsed / 60:.1f} min, {elapsed / max(len(faults), 1):.0f} s per fault")
    for verdict in ("survived", "build-failed"):
        print("".join(f"{verdict}: line {f[0]}: {f[1]}: {f[4]}\n" for f in results[verdict]), end="")
    return 0 if not results["survived"] and not results["build-failed"] else 1


if __name__ == "__main__":
    sys.exit(main())
