"""The command line shared by the table generators: write a generated header, or check (--check)
that the committed one is up to date."""

import argparse
import pathlib
import sys
from typing import Callable


def generate(doc: str, header: pathlib.Path, what: str, make_text: Callable[[], str]) -> None:
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="verify the committed header only")
    args = parser.parse_args()
    text = make_text()  # also checks the sample values, exiting on a mismatch
    if args.check:
        if header.read_text() != text:
            sys.exit(f"{header} is out of date; rerun {sys.argv[0]}")
        print(f"{what}: header up to date, all sample values reproduced")
        return
    header.write_text(text)
    print(f"wrote {header}")
