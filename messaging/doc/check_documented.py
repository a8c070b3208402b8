#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
"""Fails when a public member in Doxygen's XML output has no description.

Doxygen itself warns about undocumented classes, functions, signals,
properties and variables, but not about enum values; this looks at every
member, enum values included.
    check_documented.py XML_DIR
"""
import pathlib
import sys
import xml.etree.ElementTree as ET


def described(element):
    return any("".join(part.itertext()).strip()
               for part in (element.find("briefdescription"), element.find("detaileddescription"))
               if part is not None)


def where(element):
    location = element.find("location")
    return f"{location.get('file')}:{location.get('line')}" if location is not None else "?"


missing = []
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.xml")):
    for compound in ET.parse(path).getroot().iter("compounddef"):
        if compound.get("kind") not in ("class", "struct"):
            continue
        owner = compound.findtext("compoundname")
        for member in compound.iter("memberdef"):
            if member.get("prot") == "private":
                continue
            name = member.findtext("name")
            if not described(member):
                missing.append(f"{where(member)}: {member.get('kind')} {owner}::{name}")
            for value in member.iter("enumvalue"):
                if not described(value):
                    missing.append(f"{where(member)}: enum value {owner}::{name}::"
                                   f"{value.findtext('name')}")
for line in sorted(set(missing)):
    print(f"{line} is not documented", file=sys.stderr)
sys.exit(1 if missing else 0)
