#!/usr/bin/env python3
"""Mutation check: how many single-token faults in the product code the test suite catches.

Makes a fixed, seeded set of mutants of the product code (app/ model/ gather/ list/ windows/
cli/): one token each, a comparison turned (< and <=, > and >=, == and !=), a Boolean flipped,
an integer literal off by one, && and || swapped. For each mutant it rebuilds the tests in
build/mutation and runs them; a mutant is killed when any test fails or times out. A mutant
that does not compile is replaced by the next candidate. Prints killed/total and every survivor.

The set depends only on the seed and the product sources. Each site is ranked by a hash of the
seed, its file, the text of its line and its place in that line, so an edit elsewhere leaves the
other sites' ranks alone: two runs over the same product code with different test suites make
the same mutants, and a small product change replaces only the mutants on the lines it touched.
"""

import argparse
import hashlib
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRODUCT_DIRS = ["app", "model", "gather", "list", "windows", "cli"]
# Compiled into no test program.
EXCLUDED = {"app/main.cpp", "cli/main.cpp"}
BUILD = os.path.join(ROOT, "build", "mutation")

# Operators are taken only with a space on each side, as clang-format writes binary operators:
# template brackets, shifts and arrows never match.
SWAPS = {
    "<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
    "&&": "||", "||": "&&",
}
OPERATOR = re.compile(r"(?<= )(<=|>=|==|!=|&&|\|\||<|>)(?= )")
BOOLEAN = re.compile(r"\b(true|false)\b")
INTEGER = re.compile(r"(?<![\w.'])(\d+)(?![\w.'])")


def code_mask(text):
    """A copy of `text` with comments, string and character literals blanked out."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out[i:j] = " " * (j - i)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out[i:j] = [ch if ch == "\n" else " " for ch in text[i:j]]
            i = j
        elif text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            k = text.find("(", i)
            delim = ")" + text[i + 2:k] + '"'
            j = text.find(delim, k)
            j = n if j < 0 else j + len(delim)
            out[i:j] = [ch if ch == "\n" else " " for ch in text[i:j]]
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out[i:j] = " " * (j - i)
            i = j
        else:
            i += 1
    return "".join(out)


def candidates():
    """Every mutation site: (file, offset, original, replacement, line, rank key)."""
    sites = []
    for folder in PRODUCT_DIRS:
        for dirpath, _, names in sorted(os.walk(os.path.join(ROOT, folder))):
            for name in sorted(names):
                if not name.endswith(".cpp"):
                    continue
                rel = os.path.relpath(os.path.join(dirpath, name), ROOT)
                if rel in EXCLUDED:
                    continue
                with open(os.path.join(ROOT, rel), encoding="utf-8") as f:
                    text = f.read()
                masked = code_mask(text)
                lines = masked.split("\n")
                offset = 0
                for line in lines:
                    stripped = line.strip()
                    if stripped and not stripped.startswith("#"):
                        found = []
                        for m in OPERATOR.finditer(line):
                            found.append((m.start(), m.group(1), SWAPS[m.group(1)]))
                        for m in BOOLEAN.finditer(line):
                            found.append((m.start(), m.group(1), "false" if m.group(1) == "true" else "true"))
                        for m in INTEGER.finditer(line):
                            if int(m.group(1)) < 1000:  # sizes and bounds, not magic numbers of formats
                                found.append((m.start(), m.group(1), str(int(m.group(1)) + 1)))
                        for column, original, replacement in found:
                            # The line in the source itself: a literal the mask takes for a
                            # character literal (a digit separator) may have joined lines.
                            at = text.count("\n", 0, offset + column) + 1
                            sites.append((rel, offset + column, original, replacement, at,
                                          (rel, stripped, column - (len(line) - len(line.lstrip())))))
                    offset += len(line) + 1
    return sites


def run(command, timeout=None, log=None):
    try:
        result = subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=timeout, text=True, errors="replace")
    except subprocess.TimeoutExpired:
        return 124, "timed out"
    if log is not None:
        with open(log, "a", encoding="utf-8") as f:
            f.write(result.stdout)
    return result.returncode, result.stdout


def build(log):
    return run(["cmake", "--build", BUILD], log=log)[0] == 0


def suite_passes(test_timeout, log):
    code, _ = run(["ctest", "--test-dir", BUILD, "--stop-on-failure", "-j", str(os.cpu_count() or 2),
                   "--timeout", str(test_timeout)], log=log)
    return code == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=60, help="mutants that compile (default 60)")
    parser.add_argument("--seed", type=int, default=20261207, help="seed of the selection (default 20261207)")
    parser.add_argument("--list", action="store_true", help="print the first candidates and stop")
    parser.add_argument("--only", default="", help="comma-separated path prefixes to mutate (default: all product code)")
    parser.add_argument("--test-timeout", type=int, default=60, help="seconds one test may take (default 60)")
    args = parser.parse_args()

    sites = candidates()
    if args.only:
        prefixes = tuple(p.strip() for p in args.only.split(",") if p.strip())
        sites = [site for site in sites if site[0].startswith(prefixes)]

    def rank(index):
        rel, stripped, column = sites[index][5]
        return hashlib.sha256(f"{args.seed}\0{rel}\0{stripped}\0{column}".encode()).hexdigest()

    order = sorted(range(len(sites)), key=rank)
    print(f"mutation-check: {len(sites)} candidate sites, seed {args.seed}, {args.count} mutants", flush=True)
    if args.list:
        for index in order[:args.count]:
            rel, _, original, replacement, line, _ = sites[index]
            print(f"  {rel}:{line}: {original} -> {replacement}")
        return 0

    os.makedirs(BUILD, exist_ok=True)
    log = os.path.join(BUILD, "mutation.log")
    open(log, "w").close()
    code, out = run(["cmake", "--preset", "mutation"], log=log)
    if code != 0 or not build(log):
        print("mutation-check: the unmutated build fails; see " + log, file=sys.stderr)
        return 2
    if not suite_passes(args.test_timeout, log):
        print("mutation-check: the unmutated suite fails; see " + log, file=sys.stderr)
        return 2

    killed, survivors, uncompiled = 0, [], 0
    done = 0
    start = time.time()
    for index in order:
        if done == args.count:
            break
        rel, offset, original, replacement, line, _ = sites[index]
        path = os.path.join(ROOT, rel)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        assert text[offset:offset + len(original)] == original
        mutant = text[:offset] + replacement + text[offset + len(original):]
        label = f"{rel}:{line}: {original} -> {replacement}"
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(mutant)
            if not build(log):
                uncompiled += 1
                continue
            done += 1
            if suite_passes(args.test_timeout, log):
                survivors.append(label)
                verdict = "SURVIVED"
            else:
                killed += 1
                verdict = "killed"
            print(f"[{done}/{args.count}] {verdict:8} {label}", flush=True)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
    build(log)

    minutes = (time.time() - start) / 60
    print(f"\nmutation-check: killed {killed}/{done} ({100 * killed / max(done, 1):.0f}%), "
          f"{uncompiled} candidates did not compile and were replaced; {minutes:.0f} min")
    if survivors:
        print("survivors:")
        for label in survivors:
            print("  " + label)
    return 0


if __name__ == "__main__":
    sys.exit(main())
