#!/usr/bin/env python3
"""Makes the two benchmark corpora from files that every set-up machine has.

corpus1 (application-like): /usr/lib/python3.11 without __pycache__, site-packages and
dist-packages, plus about 30 MiB of Wine's own x86-64 PE DLLs, in name order, in a subfolder.
corpus2 (many small files): the MinGW-w64 headers and import libraries.

Links are followed (a corpus holds plain files only); dangling links are skipped. A corpus that
exists already is kept.
"""
import os
import shutil
import sys

PYTHON_DIR = "/usr/lib/python3.11"
WINE_DLL_DIR = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
WINE_DLL_BYTES = 30 * 1024 * 1024
MINGW_INCLUDE = "/usr/share/mingw-w64/include"
MINGW_LIB = "/usr/x86_64-w64-mingw32/lib"


def copy_tree(source, destination, skip=()):
    for directory, subdirectories, files in os.walk(source, followlinks=True):
        subdirectories[:] = sorted(d for d in subdirectories if d not in skip)
        relative = os.path.relpath(directory, source)
        target = os.path.normpath(os.path.join(destination, relative))
        os.makedirs(target, exist_ok=True)
        for name in sorted(files):
            path = os.path.join(directory, name)
            if name in skip or not os.path.isfile(path):
                continue  # dangling link, socket, ...
            shutil.copyfile(path, os.path.join(target, name))


def make_corpus1(destination):
    copy_tree(PYTHON_DIR, os.path.join(destination, "python3.11"),
              skip=("__pycache__", "site-packages", "dist-packages"))
    wine = os.path.join(destination, "wine")
    os.makedirs(wine, exist_ok=True)
    total = 0
    for name in sorted(os.listdir(WINE_DLL_DIR)):
        path = os.path.join(WINE_DLL_DIR, name)
        if not name.endswith(".dll") or not os.path.isfile(path):
            continue
        shutil.copyfile(path, os.path.join(wine, name))
        total += os.path.getsize(path)
        if total >= WINE_DLL_BYTES:
            break


def make_corpus2(destination):
    copy_tree(MINGW_INCLUDE, os.path.join(destination, "include"))
    copy_tree(MINGW_LIB, os.path.join(destination, "lib"))


def summary(directory):
    count = size = 0
    for root, _, files in os.walk(directory):
        for name in files:
            count += 1
            size += os.path.getsize(os.path.join(root, name))
    return count, size


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "build/bench-data"
    for name, make in (("corpus1", make_corpus1), ("corpus2", make_corpus2)):
        destination = os.path.join(out, name)
        if not os.path.isdir(destination):
            partial = destination + ".partial"
            shutil.rmtree(partial, ignore_errors=True)
            make(partial)
            os.rename(partial, destination)
        count, size = summary(destination)
        print(f"{name}: {count} files, {size / 2**20:.1f} MiB")


if __name__ == "__main__":
    main()
