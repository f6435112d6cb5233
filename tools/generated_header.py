"""Writing a generated header, or checking that the committed one is up to date."""

import pathlib
import sys


def write_or_check(header: pathlib.Path, text: str, check: bool, what: str) -> None:
    if check:
        if header.read_text() != text:
            sys.exit(f"{header} is out of date; rerun {sys.argv[0]}")
        print(f"{what}: header up to date, all sample values reproduced")
        return
    header.write_text(text)
    print(f"wrote {header}")
