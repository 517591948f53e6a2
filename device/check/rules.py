#!/usr/bin/env python3
"""The device build's rules, checked from what the tools report.

  rules.py headers ROOT SOURCE HFILE   the headers SOURCE read (the compiler's
                                       -H output in HFILE): only the SDK's,
                                       under the names of platform.txt, the
                                       stand-ins of device/include under those
                                       names, and the driver's own, none of
                                       which may take a platform header's name
  rules.py imports NAME READOBJ        the DLL's import table (llvm-readobj
                                       --coff-imports in READOBJ): every
                                       function is one platform.txt allows
  rules.py externals OBJECT...         objects built with prototypes.h: every
                                       symbol they need from outside is a
                                       device prototype, the driver's own or
                                       a compiler helper platform.txt allows

Each broken rule is one line on standard error; the exit status is 1 when
any rule is broken.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def read_driver_folders():
    """The driver's folders, from the build's one list of them."""
    path = os.path.join(HERE, "..", "..", "cmake", "driver_dirs.txt")
    with open(path) as f:
        return tuple(w for w in (line.strip() for line in f) if w and not w.startswith("#"))


DRIVER_FOLDERS = read_driver_folders()
# device/include's stand-ins for the platform headers a desktop SDK lacks
# or has without the platform's declarations; each declares only what the
# platform places in that header, so a source that leaves out the header it
# needs does not compile.
STAND_INS = ("dbgapi.h", "mmddk.h", "pkfuncs.h", "wavedev.h", "wavlmr.h")


def read_platform():
    headers, imports = set(), set()
    with open(os.path.join(HERE, "platform.txt")) as f:
        for line in f:
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if words[0] == "header" and len(words) == 2:
                headers.add(words[1])
            elif words[0] == "import" and len(words) == 3:
                imports.add((words[1].lower(), words[2]))
            else:
                sys.exit("platform.txt: cannot read: " + line.strip())
    return headers, imports


def kind(root, path):
    """'driver', 'stand-in', 'system' or 'repository' (anything else of the
    repository), with the path relative to the root."""
    real = os.path.realpath(path)
    rel = os.path.relpath(real, root)
    if rel.startswith(".." + os.sep) or rel == "..":
        return "system", real
    parts = rel.split(os.sep)
    if parts[0] in DRIVER_FOLDERS:
        return "driver", rel
    if parts[:2] == ["device", "include"] and len(parts) == 3:
        if parts[2] in STAND_INS:
            return "stand-in", rel
    return "repository", rel


def check_headers(root, source, hfile):
    headers, _ = read_platform()
    root = os.path.realpath(root)
    broken = []
    # The -H lines: one dot per level of inclusion, then the path.
    stack = [("driver", source)]
    with open(hfile, errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            dots = len(line) - len(line.lstrip("."))
            if dots == 0 or not line[dots:].startswith(" "):
                continue
            path = line[dots + 1:]
            del stack[dots:]
            parent_kind, parent = stack[-1]
            k, rel = kind(root, path)
            stack.append((k, rel))
            name = os.path.basename(rel)
            if k == "repository":
                broken.append("%s reads %s (from %s), which is neither the platform's nor the driver's"
                              % (source, rel, parent))
            elif k == "stand-in" and (parent_kind not in ("driver", "stand-in") or name not in headers):
                broken.append("%s reads %s from %s" % (source, rel, parent))
            elif k == "driver" and name in headers:
                broken.append("%s reads %s (from %s), a driver header named like the platform's <%s>: "
                              "rename it" % (source, rel, parent, name))
            elif k == "system" and parent_kind == "driver" and name not in headers:
                broken.append("%s includes <%s> (%s) from %s: not a header of the platform"
                              % (source, name, rel, parent))
    return broken


def check_imports(name, readobj):
    _, allowed = read_platform()
    broken = []
    dll = None
    count = 0
    with open(readobj) as f:
        for line in f:
            words = line.split()
            if len(words) >= 2 and words[0] == "Name:":
                dll = words[1]
            elif len(words) >= 2 and words[0] == "Symbol:":
                count += 1
                if (str(dll).lower(), words[1]) not in allowed:
                    broken.append("%s imports %s from %s, which platform.txt does not allow"
                                  % (name, words[1], dll))
    if count == 0:
        broken.append("%s: no imports found in %s" % (name, readobj))
    return broken


def nm(args):
    import subprocess
    out = subprocess.run(["llvm-nm-14"] + args, check=True, capture_output=True, text=True).stdout
    symbols = {}
    current = None
    for line in out.splitlines():
        if line.endswith(":") and not line.startswith(" "):
            current = line[:-1]
            continue
        words = line.split()
        if words:
            symbols.setdefault(current, set()).add(words[-1])
    return symbols


def check_externals(objects):
    _, allowed = read_platform()
    helpers = set(fn for dll, fn in allowed if dll in ("armrt.dll", "x86rt.dll"))
    defined = set()
    for names in nm(["--defined-only", "--extern-only"] + objects).values():
        defined |= names
    broken = []
    for obj, names in sorted(nm(["--undefined-only"] + objects).items()):
        for name in sorted(names):
            if name in defined or name in helpers or name.startswith("_ZN10device_sdk"):
                continue
            broken.append("%s calls %s, which the device's prototypes do not declare"
                          % (os.path.basename(str(obj)), name))
    return broken


def main(argv):
    if len(argv) == 5 and argv[1] == "headers":
        broken = check_headers(argv[2], argv[3], argv[4])
    elif len(argv) == 4 and argv[1] == "imports":
        broken = check_imports(argv[2], argv[3])
    elif len(argv) >= 3 and argv[1] == "externals":
        broken = check_externals(argv[2:])
    else:
        sys.exit(__doc__)
    for b in broken:
        print("sdk-check: " + b, file=sys.stderr)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
