#!/usr/bin/env python3
"""Checks that every include points down the layers (an include into, or code
in, a folder the table does not know is a fault too), and that quarvel-cli
links neither Qt Widgets nor Qt Gui.

usage: check_layers.py SOURCE_DIR [QUARVEL_CLI]
"""
import os
import re
import subprocess
import sys

# Lowest first; folders on one line are one layer and may include each other.
LAYERS = [
    ["ondisk"],
    ["platform"],
    ["devices"],
    ["jobs"],
    ["engines/fat", "engines/exfat", "engines/ntfs", "engines/carve"],
    ["scan", "scan/fat", "scan/ntfs", "scan/raw", "scan/exfat"],
    ["partition"],
    ["imaging"],
    ["shell"],
    ["results"],
    ["skin"],
    ["app/pages"],
    ["app"],
    ["cli"],
]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    folder = os.path.dirname(path)
    while folder and folder not in RANK:
        folder = os.path.dirname(folder)
    return folder or None


def main():
    source = sys.argv[1]
    faults = []
    # Every folder of product code has its place in the table.
    not_product = {"tests", "bench", "fuzz", "tools", "build", "cmake", "data", "resources", "scripts", "docs"}
    for top, dirs, files in os.walk(source):
        rel = os.path.relpath(top, source)
        dirs[:] = [d for d in dirs if not d.startswith(".") and not (rel == "." and d in not_product)]
        if rel != "." and rel not in RANK and any(n.endswith((".h", ".cpp")) for n in files):
            faults.append(f"{rel} holds code but has no place in the layer table")
    for folders in LAYERS:
        for folder in folders:
            top = os.path.join(source, folder)
            for name in sorted(os.listdir(top)):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(folder, name)
                with open(os.path.join(source, path), encoding="utf-8") as f:
                    text = f.read()
                for target in INCLUDE.findall(text):
                    above = layer_of(target)
                    if above is None:
                        # A folder the table does not know would pass unchecked
                        # whatever it includes or is included by.
                        if "/" in target:
                            faults.append(f"{path} includes {target} (a folder the layer table does not know)")
                        continue
                    if RANK[above] > RANK[folder]:
                        faults.append(f"{path} includes {target} ({above} is above {folder})")
    if len(sys.argv) > 2:
        linked = subprocess.run(["ldd", sys.argv[2]], capture_output=True, text=True).stdout
        for lib in ("libQt6Widgets", "libQt6Gui"):
            if lib in linked:
                faults.append(f"quarvel-cli links {lib}")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
