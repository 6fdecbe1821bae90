#!/usr/bin/env python3
"""Builds and runs the complete programs of the developer documentation (docs/*.md) the way the quick start tells
a newcomer to: from an empty folder per program, with the quick start's CMakeLists.txt and its build and run
commands, against an install tree of the SDK, with the stand-in service registered as the stand-in page says.

Fenced blocks are marked in their info string:
  ```cpp complete-program name=NAME       a whole program (main.cpp of its own folder); other code blocks are
                                          fragments and are left alone
  ```text output-of=NAME                  what NAME prints: its standard output must be exactly this
  ```cmake file=CMakeLists.txt            the project file every program is built with
  ```sh walkthrough=STEP                  commands: STEP is register (once, in an empty folder), build or run
                                          (in the program's folder); run's standard output is the program's

Usage: docprograms.py list DOCS_DIR
       docprograms.py run DOCS_DIR BUILD_DIR [NAME...]
run installs BUILD_DIR into a fresh folder, sets ZELVARSDK to it and runs the steps with bash (WINEPREFIX from the
environment). Exit code 0 when every program built, exited 0 and printed its page's output.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^```(\S+)([^\n]*)\n(.*?)^```\s*$", re.M | re.S)


def blocks(docs_dir):
    """(page, language, {key: value}, text) of every fenced block with key=value words or flags."""
    for page in sorted(os.listdir(docs_dir)):
        if not page.endswith(".md"):
            continue
        with open(os.path.join(docs_dir, page), encoding="utf-8") as f:
            text = f.read()
        for match in FENCE.finditer(text):
            attributes = {}
            for word in match.group(2).split():
                key, _, value = word.partition("=")
                attributes[key] = value
            yield page, match.group(1), attributes, match.group(3)


def collect(docs_dir):
    programs, outputs, files, steps = {}, {}, {}, {}
    for page, _, attributes, text in blocks(docs_dir):
        if "complete-program" in attributes:
            name = attributes.get("name")
            if not name or name in programs:
                sys.exit(f"{page}: a complete program needs a unique name= ({name!r})")
            programs[name] = (page, text)
        elif "output-of" in attributes:
            outputs[attributes["output-of"]] = text
        elif "file" in attributes:
            files[attributes["file"]] = text
        elif "walkthrough" in attributes:
            steps[attributes["walkthrough"]] = text
    for name in outputs:
        if name not in programs:
            sys.exit(f"output-of={name} names no complete program")
    for needed in ("register", "build", "run"):
        if needed not in steps:
            sys.exit(f"no ```sh walkthrough={needed} block in the documentation")
    if "CMakeLists.txt" not in files:
        sys.exit("no ```cmake file=CMakeLists.txt block in the documentation")
    return programs, outputs, files, steps


def bash(script, folder, env, capture):
    return subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=folder, env=env, text=True,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE if capture else None,
                          stderr=subprocess.STDOUT if not capture else None, timeout=600)


def run(docs_dir, build_dir, only):
    programs, outputs, files, steps = collect(docs_dir)
    work = tempfile.mkdtemp(prefix="docprograms-")
    env = dict(os.environ, ZELVARSDK=os.path.join(work, "sdk"), WINEDEBUG="-all")
    subprocess.run(["cmake", "--install", build_dir, "--prefix", env["ZELVARSDK"]], check=True,
                   stdout=subprocess.DEVNULL)
    os.mkdir(os.path.join(work, "register"))
    if bash(steps["register"], os.path.join(work, "register"), env, False).returncode:
        sys.exit("the stand-in's registration commands failed")
    failures = 0
    for name, (page, source) in programs.items():
        if only and name not in only:
            continue
        folder = os.path.join(work, name)
        os.mkdir(folder)
        for path, text in dict(files, **{"main.cpp": source}).items():
            with open(os.path.join(folder, path), "w", encoding="utf-8") as f:
                f.write(text)
        built = bash(steps["build"], folder, env, True)
        if built.returncode:
            print(f"FAIL {name} ({page}): the build commands exited {built.returncode}\n{built.stdout}")
            failures += 1
            continue
        ran = bash(steps["run"], folder, env, True)
        printed = ran.stdout.replace("\r\n", "\n")
        expected = outputs.get(name)
        if ran.returncode or (expected is not None and printed != expected):
            print(f"FAIL {name} ({page}): exit code {ran.returncode}\n--- printed\n{printed}--- the page shows\n"
                  f"{expected}")
            failures += 1
        else:
            print(f"ok   {name} ({page}): exit code 0" + (", output as on the page" if expected else ""))
    if failures:
        print(f"the folders are kept in {work}")
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "list":
        for name, (page, _) in collect(sys.argv[2])[0].items():
            print(name, page)
        return 0
    if len(sys.argv) >= 4 and sys.argv[1] == "run":
        return run(sys.argv[2], sys.argv[3], set(sys.argv[4:]))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
