#!/usr/bin/env python3
"""The everyday commands run on the same images by one build or by two.

    compare.py IMAGES WORK CMD [CMD2]

IMAGES holds the demo images and those of `mkimage names`; CMD runs the
tool (it is split as the shell would: "wine build-win/cartsift.exe").
With one build, each case must end with its status and write nothing
outside its output directory. With two, each must also give the second the
same standard output and the same extracted tree: names, bytes and times.
Messages on standard error may differ (host paths have other separators)."""
import hashlib
import os
import shlex
import shutil
import subprocess
import sys
import time

SET = ["demo-3.113", "demo-1.113", "demo-2.113"]
ZSET = ["demo-z3.113", "demo-z1.113", "demo-z2.113"]

# name, arguments, status; "twice" runs it again in the same place and
# the second run is the one compared (the existing-file rule).
CASES = [
    ("list", ["--list"] + SET, 0),
    ("list-verbose", ["--list", "-v"] + SET, 0),
    ("list-json", ["--list", "--json"] + SET, 0),
    ("list-missing-middle", ["--list", "demo-1.113", "demo-3.113"], 1),
    ("info", ["--info"] + SET, 0),
    ("info-json", ["--info", "--json"] + SET, 0),
    ("test", ["--test"] + SET, 1),
    ("extract", ["--extract", "-C", "out"] + SET, 1),
    ("extract-missing-middle", ["--extract", "-C", "out", "demo-3.113", "demo-1.113"], 1),
    ("extract-include", ["--extract", "-C", "out", "--include", "*/archive/"] + SET, 1),
    ("stdout", ["--extract", "-O", "--include", "*.TXT"] + SET, 0),
    ("list-compressed", ["--list", "-v", "demo-z.113"], 0),
    ("test-compressed", ["--test"] + ZSET, 1),
    ("extract-compressed", ["--extract", "-C", "out"] + ZSET, 1),
    ("extract-again", ["--extract", "-C", "out", "demo.113"], 1, "twice"),
    ("names", ["--extract", "--windows-names", "-C", "out", "names.113"], 1),
    ("long-path", ["--extract", "-C", "out", "longpath.113"], 0),
]


def tree(root, began, atimes):
    """Every path below root, with what a file holds and each one's times.
    A time from the run itself (a directory the image gives none) is left
    out, as are access times when atimes is false."""
    def when(ns):
        return ns // 10**9 if ns // 10**9 < began else "now"

    found = {}
    for d, dirs, files in os.walk(root):
        for n in dirs + files:
            p = os.path.join(d, n)
            st = os.lstat(p)
            rel = os.path.relpath(p, root)
            if os.path.isdir(p):
                found[rel + "/"] = (None, when(st.st_mtime_ns))
            else:
                with open(p, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                found[rel] = (digest, when(st.st_mtime_ns),
                              when(st.st_atime_ns) if atimes else None)
    return found


def run(cmd, case, images, work):
    name, args, status = case[:3]
    here = os.path.join(work, name)
    shutil.rmtree(here, ignore_errors=True)
    os.makedirs(here)
    for img in os.listdir(images):
        if img.endswith(".113"):
            shutil.copy(os.path.join(images, img), here)
    before = set(os.listdir(here))
    began = int(time.time()) - 1
    for _ in range(2 if "twice" in case[3:] else 1):
        r = subprocess.run(cmd + args, cwd=here, capture_output=True, stdin=subprocess.DEVNULL)
    problems = []
    if r.returncode != status:
        problems.append(f"status {r.returncode}, not {status}: {r.stderr.decode(errors='replace')}")
    stray = set(os.listdir(here)) - before - {"out"}
    if stray:
        problems.append(f"wrote outside its output directory: {sorted(stray)}")
    out = os.path.join(here, "out")
    # A file kept on the second run was only looked at, which Wine does by
    # reading it: its access time is then the run's.
    twice = "twice" in case[3:]
    return r.stdout, tree(out, began, not twice) if os.path.isdir(out) else {}, problems


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    images, work = sys.argv[1], sys.argv[2]
    # Each case runs in a directory of its own: a program named by a
    # relative path is found from here.
    cmds = [shlex.split(c) for c in sys.argv[3:]]
    cmds = [[os.path.abspath(c[0]) if os.path.exists(c[0]) else c[0]] + c[1:] for c in cmds]
    failed = 0
    for case in CASES:
        results = [run(c, case, images, os.path.join(work, str(i))) for i, c in enumerate(cmds)]
        problems = [f"{' '.join(c)}: {p}" for c, r in zip(cmds, results) for p in r[2]]
        if len(results) == 2:
            (out1, tree1, _), (out2, tree2, _) = results
            if out1 != out2:
                problems.append("standard output differs")
            for path in sorted(set(tree1) | set(tree2)):
                if tree1.get(path) != tree2.get(path):
                    problems.append(f"{path}: {tree1.get(path)} against {tree2.get(path)}")
        print(f"{'ok  ' if not problems else 'FAIL'} {case[0]}")
        for p in problems:
            print(f"     {p}")
        failed += bool(problems)
    print(f"{len(CASES) - failed} of {len(CASES)} cases as they should be")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
