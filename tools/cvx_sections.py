"""Prints the size of every section of a compiled index file (scene_index.cvx).

    python tools/cvx_sections.py DATA/scene_index.cvx [...]

Reads only the header and the section table (and the head of `BTAC`, whose
arrays are listed under it), so it works on any file of the current layout.
"""
from __future__ import annotations

import struct
import sys
from pathlib import Path

MAGIC = b"\x89CVX\r\n\x1a\n"
BTAC_ARRAYS = ["label", "label_escape", "child_base", "child_count", "child_escape", "terminal", "terminal_rank",
               "root_bmp", "offsets", "postings", "keyword_repeat", "entry_of"]


def sections(path: Path) -> tuple[int, int, list[tuple[str, int, int]]]:
    with path.open("rb") as f:
        head = f.read(80)
        if len(head) < 80 or head[:8] != MAGIC:
            raise SystemExit(f"{path}: not a compiled index file")
        version, count = struct.unpack_from("<II", head, 8)
        size = struct.unpack_from("<Q", head, 16)[0]
        table = f.read(24 * count)
    rows = []
    for r in range(count):
        tag, _, off, length = struct.unpack_from("<4sIQQ", table, 24 * r)
        rows.append((tag.decode("latin-1"), off, length))
    return version, size, rows


def main(argv: list[str]) -> None:
    if not argv:
        raise SystemExit(__doc__)
    for name in argv:
        path = Path(name)
        version, size, rows = sections(path)
        print(f"{path}: version {version}, {size / 1e6:.2f} MB, {len(rows)} sections")
        for tag, off, length in sorted(rows, key=lambda r: -r[2]):
            print(f"  {tag:4}  {length / 1e6:9.3f} MB  {100 * length / size:5.1f} %")
            if tag == "BTAC" and version >= 4:
                with path.open("rb") as f:
                    f.seek(off)
                    head = struct.unpack(f"<{3 + len(BTAC_ARRAYS)}Q", f.read(8 * (3 + len(BTAC_ARRAYS))))
                # The last array: each base title's entry (version 2), empty (3),
                # or the length of each posting's match (4).
                names = BTAC_ARRAYS[:-1] + ["match_lengths" if head[0] >= 4 else "entry_of"]
                print(f"        version {head[0]}: " + ", ".join(f"{n} {c:,}" for n, c in zip(names, head[3:])))


if __name__ == "__main__":
    main(sys.argv[1:])
