#!/usr/bin/env python3
"""Whether a bare Debian 12 gets from scripts/bootstrap every package that the build and
the tests use here. A prepared machine hides a package installed by hand: the build finds
its compiler, every test passes, and a fresh machine fails at its first command. So every
program this machine's builds and scripts use is traced to the Debian package that owns
it (dpkg -S), and the check fails, naming the program, where it is named and its package,
for each package that a bare Debian 12 (its required and important packages) would not
have after the bootstrap: neither among the packages the bootstrap lists (--list, with
what they depend on), nor a package a bare system has.

What it reads:
- every preset's CMake cache (the Windows test program's own build below windows-x64
  included): the compilers and their tools (ar, ranlib, rc, ...), the linker a -fuse-ld
  option names, the programs it found (find_program) and the build program;
- the scripts (scripts/, .ci/run, tests/*.sh, the helpers they run): each word that stands
  where a shell runs a command (a line's or a pipeline's first word, after assignments
  and after env, exec, sudo, xargs, timeout, setpriv and the like), each `-exec` of find,
  the program of each subprocess call of the Python scripts, and each COMMAND of the CMake
  files; heredocs and comments are passed over.
A program that no package owns (a Python of pyenv's, a tool the bootstrap itself builds
under /opt/zklaunch) passes only when the bootstrap has a row for its name, so that a bare
system gets it from Debian. Files of the checkout itself are not programs of the machine.

  tests/setup_check.py [--bootstrap FILE]
FILE (by default scripts/bootstrap) is the set-up held against the machine: the
bootstrap check runs it with a copy that lacks one row, and sees the check fail.
"""
import glob
import json
import os
import re
import shutil
import subprocess
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OWN_TOOLS = "/opt/zklaunch/"  # what the bootstrap builds or unpacks itself
# Words that pass their arguments on as a command (the options they take before it).
WRAPPERS = {"env", "exec", "command", "sudo", "nohup", "time", "xargs", "timeout", "setpriv", "nice",
            "stdbuf", "as_root", "as_builder", "as_user", "then", "do", "else", "elif", "if", "while",
            "until", "!", "{", "(", "run", "run_unix"}


def sh(*argv):
    return subprocess.run(argv, capture_output=True, text=True).stdout


def fail_usage():
    sys.exit("usage: tests/setup_check.py [--bootstrap FILE]")


# ---- What the bootstrap installs on a bare Debian 12 --------------------------------------

def bootstrap_rows(bootstrap):
    """(package, kind, names) for each row of `bootstrap --list screenshot`."""
    out = subprocess.run([bootstrap, "--list", "screenshot"], capture_output=True, text=True)
    if out.returncode != 0 or not out.stdout.strip():
        sys.exit(f"setup_check: {bootstrap} --list gave nothing: {out.stderr.strip()}")
    rows = []
    for line in out.stdout.splitlines():
        package, _, what = line.partition("\t")
        kind, *names = what.split()
        rows.append((package, kind, names))
    return rows


def bare_packages():
    """The packages a bare Debian 12 has: required and important ones (debootstrap's
    default), and every essential one."""
    bare = set()
    for line in sh("dpkg-query", "-W", "-f=${Package}:${Architecture} ${Priority} ${Essential}\n").splitlines():
        name, priority, essential = (line.split() + ["", ""])[:3]
        if priority in ("required", "important") or essential == "yes":
            bare.add(name)
    return bare


def closure(packages):
    """The packages and everything they depend on (pre-depends included), as apt resolves
    them now: an alternative counts on every side, a virtual package by its providers."""
    out = sh("apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
             "--no-breaks", "--no-replaces", "--no-enhances", *sorted(packages))
    return {line.strip("<>") for line in out.splitlines() if line and not line[0].isspace()}


def normal(package):
    """A package name as dpkg -S gives it, without the machine's own architecture."""
    native = sh("dpkg", "--print-architecture").strip()
    return package[: -len(":" + native)] if package.endswith(":" + native) else package


# ---- What the build and the scripts use ---------------------------------------------------

def cache_programs(failures):
    """(program, where) named by the presets' CMake caches and their compiler files."""
    with open(os.path.join(TOP, "CMakePresets.json")) as f:
        presets = [p["name"] for p in json.load(f)["configurePresets"] if not p.get("hidden")]
    caches = [os.path.join(TOP, "build", p, "CMakeCache.txt") for p in presets]
    caches.append(os.path.join(TOP, "build", "windows-x64", "e2e", "CMakeCache.txt"))
    found = []
    for cache in caches:
        where = os.path.relpath(cache, TOP)
        if not os.path.exists(cache):
            failures.append(f"{where} is missing: build every preset first (scripts/test does)")
            continue
        with open(cache, errors="replace") as f:
            for line in f:
                m = re.match(r"(\w+):(FILEPATH|STRING|INTERNAL)=(.*)$", line.rstrip("\n"))
                if not m or not m.group(3) or m.group(3).endswith("-NOTFOUND"):
                    continue
                key, kind, value = m.groups()
                # The linker a compiler driver runs: -fuse-ld=X is the program ld.X.
                for linker in re.findall(r"-fuse-ld=(\S+)", value):
                    found.append((linker if linker.startswith("/") else "ld." + linker, f"{where}: {key}"))
                if kind == "FILEPATH" or key.endswith(("_COMPILER", "_PROGRAM")) or \
                        key in ("CMAKE_COMMAND", "CMAKE_CTEST_COMMAND"):
                    found.append((value, f"{where}: {key}"))
        folder = os.path.dirname(cache)
        for compiler_file in glob.glob(os.path.join(folder, "CMakeFiles", "*", "CMake*Compiler.cmake")):
            with open(compiler_file) as f:
                for m in re.finditer(r'^set\((CMAKE_\w+_(?:COMPILER|COMPILER_AR|COMPILER_RANLIB|LINKER))\s+"([^"]+)"\)',
                                     f.read(), re.M):
                    found.append((m.group(2), f"{os.path.relpath(compiler_file, TOP)}: {m.group(1)}"))
    return found


def strip_comment(line):
    """The line without its comment: a '#' that starts a word outside quotes."""
    quote = None
    for i, c in enumerate(line):
        if quote:
            if c == quote:
                quote = None
        elif c in "'\"":
            quote = c
        elif c == "#" and (i == 0 or line[i - 1] in " \t;|&("):
            return line[:i]
    return line


def shell_commands(text):
    """(word, line number) of each word a shell script runs as a command."""
    words, heredoc = [], None
    functions = set(re.findall(r"^\s*([\w-]+)\s*\(\)", text, re.M))
    for number, raw in enumerate(text.splitlines(), 1):
        if heredoc:
            if raw.strip() == heredoc:
                heredoc = None
            continue
        m = re.search(r"<<-?\s*['\"]?(\w+)['\"]?", raw)
        if m and "<<<" not in raw:
            heredoc = m.group(1)
        # A case's pattern ("file) ...") is no command.
        line = re.sub(r"^\s*[^\s()]+\)(\s|$)", " ", strip_comment(raw))
        for m in re.finditer(r"-exec\s+([A-Za-z][\w.+-]*)", line):
            words.append((m.group(1), number))
        for segment in re.split(r"\|\||&&|[|;`]|\$\(|<\(|\)", line):
            tokens = segment.replace("(", " ( ").replace("{", " { ").split()
            while tokens:
                t = tokens[0]
                if re.match(r"^\w+=", t) or t.startswith("-") or t in WRAPPERS or re.match(r"^\d+$", t):
                    tokens.pop(0)
                    continue
                if tokens and t.startswith(('"', "'")) and len(tokens) > 1 and segment.lstrip().startswith("as_root"):
                    tokens.pop(0)  # as_root's first argument says what the command is for
                    continue
                break
            if tokens and re.match(r"^[A-Za-z][\w.+-]*$", tokens[0]) and tokens[0] not in functions:
                words.append((tokens[0], number))
    return words


def python_commands(text):
    """(word, line number) of each program a Python script starts."""
    words = []
    for number, line in enumerate(text.splitlines(), 1):
        for m in re.finditer(r'(?:\brun|subprocess\.\w+)\(\s*\[?\s*"([A-Za-z][\w.+-]*)"', line):
            words.append((m.group(1), number))
    return words


def cmake_commands(text):
    words = []
    for number, line in enumerate(text.splitlines(), 1):
        for m in re.finditer(r"\bCOMMAND\s+([A-Za-z][\w.+-]*)", strip_comment(line)):
            words.append((m.group(1), number))
    return words


def script_programs():
    """(program path, where) for each program the scripts run that is a file on PATH."""
    paths = glob.glob(os.path.join(TOP, "scripts", "*")) + [os.path.join(TOP, ".ci", "run")]
    for pattern in ("tests/*.sh", "tests/support/*.sh", "cmake/arm64/*.sh", "cmake/*.py", "bench/*.py"):
        paths += glob.glob(os.path.join(TOP, pattern))
    cmake_files = glob.glob(os.path.join(TOP, "cmake", "*.cmake")) + [os.path.join(TOP, "CMakeLists.txt")]
    found = []
    for path in sorted(set(paths)) + sorted(cmake_files):
        with open(path, errors="replace") as f:
            text = f.read()
        if path.endswith(".cmake") or path.endswith("CMakeLists.txt"):
            words = cmake_commands(text)
        elif path.endswith(".py") or text.startswith("#!/usr/bin/env python"):
            words = python_commands(text)
        else:
            words = shell_commands(text)
        for word, number in words:
            found.append((word, f"{os.path.relpath(path, TOP)}:{number} runs {word}"))
    # Only what bash runs as a program: no builtin or keyword (printf, test, [[).
    words = sorted({word for word, _ in found})
    kinds = subprocess.run(["bash", "-c", 'for w; do printf "%s\\n" "$(type -t -- "$w")"; done', "_", *words],
                           capture_output=True, text=True).stdout.split("\n")
    programs = {w: shutil.which(w) for w, kind in zip(words, kinds) if kind == "file" and shutil.which(w)}
    return [(programs[word], where) for word, where in found if word in programs]


def file_owners():
    """Every file that a package installed here holds, and that package, from dpkg's lists."""
    owners = {}
    for listing in glob.glob("/var/lib/dpkg/info/*.list"):
        package = os.path.basename(listing)[: -len(".list")]
        with open(listing, errors="replace") as f:
            for line in f:
                owners.setdefault(line.rstrip("\n"), package)
    return owners


def owner(path, owners):
    """The package that owns the file, as dpkg -S finds it: by the path, by the file it
    links to (alternatives), and on a merged /usr by the path under / that dpkg records."""
    for candidate in (path, os.path.realpath(path)):
        for form in (candidate, re.sub(r"^/usr/(s?bin|lib\w*)/", r"/\1/", candidate)):
            if form in owners:
                return owners[form]
    return None


def main():
    bootstrap = os.path.join(TOP, "scripts", "bootstrap")
    args = sys.argv[1:]
    if args:
        if len(args) != 2 or args[0] != "--bootstrap":
            fail_usage()
        bootstrap = args[1]
    failures = []
    rows = bootstrap_rows(bootstrap)
    listed = {package for package, _, _ in rows}
    commands = {name for _, kind, names in rows if kind == "command" for name in names}
    bare = {normal(p) for p in bare_packages()}
    allowed = {normal(p) for p in closure(listed | bare)} | bare | listed

    owners = file_owners()
    programs = cache_programs(failures) + script_programs()
    seen = set()
    for program, where in programs:
        if not os.path.isabs(program):
            resolved = shutil.which(program)
            if not resolved:
                failures.append(f"{where}: {program} is not on this machine")
                continue
            program = resolved
        if program.startswith(TOP + os.sep) or not os.path.exists(program) or os.path.isdir(program):
            continue
        package = owner(program, owners)
        key = (program, package)
        if key in seen:
            continue
        seen.add(key)
        name = os.path.basename(program)
        if package is None:
            if name not in commands and not program.startswith(OWN_TOOLS):
                failures.append(f"{where}: {program} belongs to no Debian package, and the bootstrap has no row "
                                f"for {name}")
            continue
        if normal(package) not in allowed:
            failures.append(f"{where}: {program} comes from the package {package}, which scripts/bootstrap "
                            f"does not install on a bare Debian 12")
    for line in failures:
        print("setup_check: " + line, file=sys.stderr)
    if failures:
        sys.exit(1)
    print(f"setup_check: passed ({len(seen)} programs, every package installed by the bootstrap "
          f"or on a bare Debian 12)")


if __name__ == "__main__":
    main()
