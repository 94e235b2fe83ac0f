#!/usr/bin/env python3
"""Writes a deterministic synthetic folder tree for the scan benchmark.

usage: gen_tree.py DEST FILES [SEED]

The same FILES and SEED always give the same tree: about one folder per 29
files, a skewed fan-out (a few very wide folders, some deep chains), sizes with
a long tail (most files a few KiB, a few up to 8 MiB), about 1 % of the files
with a second hard link, a few symbolic links (some to folders, one dangling)
and some empty folders. 200,000 files make about 7,000 folders and 4 GiB.
Every byte is written: the scan counts allocated blocks, so a sparse file
would measure nothing. The bytes are random so that a compressing file system
still allocates them."""
import math
import os
import random
import sys

FILES_PER_FOLDER = 29  # mean; the spread is lognormal, so most hold fewer
MAX_DEPTH = 24
EXTENSIONS = ("dat", "txt", "bin", "log", "json")


def folder_sizes(rng):
    """Files per folder: lognormal, median about 12, a few hundreds or more."""
    sigma = 1.3
    mu = math.log(FILES_PER_FOLDER) - sigma * sigma / 2
    while True:
        yield int(rng.lognormvariate(mu, sigma))


def file_size(rng):
    """Allocated sizes as on a real disk: small text, middling objects, a heavy tail."""
    pick = rng.random()
    if pick < 0.80:
        return int(rng.lognormvariate(math.log(1500), 1.2))
    if pick < 0.975:
        return int(rng.lognormvariate(math.log(16 << 10), 1.0))
    return min(int(rng.paretovariate(1.6) * (192 << 10)), 8 << 20)


def choose_parent(rng, parents, depths):
    """Index of the parent of the next folder (0 is DEST).

    A third chain under the newest folder (depth), a third go beside a random
    folder, which favours parents that already have many children (width),
    the rest anywhere."""
    newest = len(parents) - 1
    while True:
        pick = rng.random()
        if pick < 0.3:
            candidate = newest
        elif pick < 0.7:
            candidate = parents[rng.randrange(len(parents))]
        else:
            candidate = rng.randrange(len(parents))
        if candidate >= 0 and depths[candidate] < MAX_DEPTH:
            return candidate


def plan(total_files, seed):
    """The tree as lists of operations, paths relative to DEST."""
    rng = random.Random(seed)
    folders = [""]       # relative path of each folder, parents first
    parents = [-1]
    depths = [0]
    files = []           # (path, size)
    hard_links = []      # (existing, new)
    symlinks = []        # (target as written, path)
    sizes = folder_sizes(rng)
    while len(files) < total_files:
        parent = choose_parent(rng, parents, depths)
        folder = os.path.join(folders[parent], f"dir{len(folders)}")
        folders.append(folder)
        parents.append(parent)
        depths.append(depths[parent] + 1)
        for i in range(min(next(sizes), total_files - len(files))):
            name = f"file{i}.{rng.choice(EXTENSIONS)}"
            path = os.path.join(folder, name)
            files.append((path, file_size(rng)))
            pick = rng.random()
            if pick < 0.01:
                hard_links.append((path, os.path.join(folder, f"same{i}.{name}")))
            elif pick < 0.013:
                symlinks.append((name, os.path.join(folder, f"alias{i}")))
        if rng.random() < 0.01:
            # Points back up: a walk that followed links would loop.
            symlinks.append(("..", os.path.join(folder, "up")))
    symlinks.append(("nowhere", "dangling"))
    return folders, files, hard_links, symlinks


def write_file(path, size, noise):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
    try:
        written = 0
        while written < size:
            chunk = min(size - written, len(noise))
            written += os.write(fd, noise[:chunk])
    finally:
        os.close(fd)


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit("usage: gen_tree.py DEST FILES [SEED]")
    dest, total = argv[1], int(argv[2])
    seed = int(argv[3]) if len(argv) == 4 else 11
    os.makedirs(dest, exist_ok=True)
    if os.listdir(dest):
        sys.exit(f"gen_tree.py: {dest} is not empty")
    folders, files, hard_links, symlinks = plan(total, seed)
    noise = memoryview(random.Random(seed).randbytes(8 << 20))
    for folder in folders[1:]:
        os.mkdir(os.path.join(dest, folder))
    for path, size in files:
        write_file(os.path.join(dest, path), size, noise)
    for existing, new in hard_links:
        os.link(os.path.join(dest, existing), os.path.join(dest, new))
    for target, path in symlinks:
        os.symlink(target, os.path.join(dest, path))
    total_bytes = sum(size for _, size in files)
    print(f"{len(files)} files, {len(folders)} folders, {len(hard_links)} hard links, "
          f"{len(symlinks)} symbolic links, {total_bytes} bytes under {dest}")


if __name__ == "__main__":
    main(sys.argv)
