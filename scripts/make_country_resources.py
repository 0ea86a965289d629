#!/usr/bin/env python3
"""Regenerates the program's country table and flag images.

Reads Debian's ISO 3166-1 list (package iso-codes) and flag images (package
famfamfam-flag-png) and writes, under resources/:
  countrycodes.csv   one "CODE;English short name" line per country, CR LF,
                     UTF-8, in English name order
  flags/CODE.png     the flag of each listed country that has one
and rewrites the "/Flags/Resources" block of resources/core.qrc to match.

Usage: scripts/make_country_resources.py [ISO_JSON] [FLAGS_DIR]
"""

import json
import pathlib
import re
import shutil
import sys
import unicodedata

ISO_JSON = "/usr/share/iso-codes/json/iso_3166-1.json"
FLAGS_DIR = "/usr/share/flags/countries/16x11"
FLAGS_PREFIX = "/Flags/Resources"


def sort_key(name):
    # "Åland Islands" sorts with the A's, not after "Zimbabwe".
    plain = unicodedata.normalize("NFKD", name)
    return "".join(c for c in plain if not unicodedata.combining(c)).casefold()


def main():
    iso_json = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ISO_JSON)
    flags_dir = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else FLAGS_DIR)
    resources = pathlib.Path(__file__).resolve().parent.parent / "resources"

    countries = json.loads(iso_json.read_text(encoding="utf-8"))["3166-1"]
    rows = sorted(((c["alpha_2"].upper(), c["name"]) for c in countries),
                  key=lambda row: sort_key(row[1]))
    for code, name in rows:
        if ";" in name or "\n" in name:
            sys.exit(f"unexpected character in the name of {code}")

    table = "".join(f"{code};{name}\r\n" for code, name in rows)
    (resources / "countrycodes.csv").write_bytes(table.encode("utf-8"))

    flags = resources / "flags"
    if flags.exists():
        shutil.rmtree(flags)
    flags.mkdir(parents=True)
    with_flag = []
    for code, _ in rows:
        source = flags_dir / f"{code.lower()}.png"
        if source.is_file():
            shutil.copyfile(source, flags / f"{code}.png")
            with_flag.append(code)

    qrc_path = resources / "core.qrc"
    qrc = qrc_path.read_text(encoding="utf-8")
    entries = "".join(f'    <file alias="{code}.png">flags/{code}.png</file>\n'
                      for code in with_flag)
    block = f'<qresource prefix="{FLAGS_PREFIX}">\n{entries}  </qresource>'
    pattern = re.compile(r'<qresource prefix="' + re.escape(FLAGS_PREFIX) + r'">.*?</qresource>',
                         re.DOTALL)
    if not pattern.search(qrc):
        sys.exit(f'{qrc_path} has no <qresource prefix="{FLAGS_PREFIX}"> block')
    qrc_path.write_text(pattern.sub(lambda _: block, qrc), encoding="utf-8")

    print(f"{len(rows)} countries, {len(with_flag)} flags")


if __name__ == "__main__":
    main()
