#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
"""Fails on what Doxygen's XML output leaves undocumented and Doxygen does not warn about.

Doxygen itself warns about undocumented classes, functions, signals,
properties and variables, but not about enum values, nor about a member
whose comment gives no one-line brief (such as one that only says what it
returns), nor about the QML types, which are no part of the C++ headers.
This checks that every public member, enum values included, has a
description, that every class, namespace and member has a brief, and,
given the QML module's type description, that the QML page names every
property, method, signal and enum value of each QML type in the section of
that type.
    check_documented.py XML_DIR [QMLTYPES]
"""
import pathlib
import re
import sys
import xml.etree.ElementTree as ET


def text(element):
    return "".join(element.itertext()).strip() if element is not None else ""


def described(element):
    return any(text(element.find(part)) for part in ("briefdescription", "detaileddescription"))


def where(element):
    location = element.find("location")
    return f"{location.get('file')}:{location.get('line')}" if location is not None else "?"


def check_headers(xml_dir, missing):
    for path in sorted(xml_dir.glob("*.xml")):
        for compound in ET.parse(path).getroot().iter("compounddef"):
            if compound.get("kind") not in ("class", "struct", "namespace"):
                continue
            owner = compound.findtext("compoundname")
            if not text(compound.find("briefdescription")):
                missing.append(f"{where(compound)}: {compound.get('kind')} {owner} has no brief")
            for member in compound.iter("memberdef"):
                if member.get("prot") == "private":
                    continue
                name = f"{member.get('kind')} {owner}::{member.findtext('name')}"
                if not described(member):
                    missing.append(f"{where(member)}: {name} is not documented")
                elif not text(member.find("briefdescription")):
                    missing.append(f"{where(member)}: {name} has no brief")
                for value in member.iter("enumvalue"):
                    if not described(value):
                        missing.append(f"{where(member)}: enum value {name}::"
                                       f"{value.findtext('name')} is not documented")


def qml_types(qmltypes):
    """{exported name: member names} of the components in a .qmltypes file."""
    types = {}
    for component in re.split(r"\n\s*Component\s*\{", qmltypes.read_text())[1:]:
        exported = re.search(r'exports:\s*\["[^/"]+/(\w+) ', component)
        if not exported:
            continue
        properties = re.findall(r'Property\s*\{\s*name:\s*"(\w+)"', component)
        notifiers = set(re.findall(r'notify:\s*"(\w+)"', component))
        signals = [s for s in re.findall(r'Signal\s*\{\s*name:\s*"(\w+)"', component)
                   if s not in notifiers]
        methods = re.findall(r'Method\s*\{\s*name:\s*"(\w+)"', component)
        values = [v for block in re.findall(r"values:\s*\[([^\]]*)\]", component)
                  for v in re.findall(r'"(\w+)"', block)]
        types[exported.group(1)] = properties + signals + methods + values
    return types


def check_qml_page(xml_dir, qmltypes, missing):
    if not (xml_dir / "qml.xml").exists():
        missing.append("there is no QML page (id qml)")
        return
    page = ET.parse(xml_dir / "qml.xml").getroot().find("compounddef")
    sections = {text(section.find("title")): section for section in page.iter("sect1")}
    for name, members in qml_types(qmltypes).items():
        section = sections.get(name)
        if section is None:
            missing.append(f"the QML page has no section of the type {name}")
            continue
        code = " ".join(text(c) for c in section.iter("computeroutput"))
        for member in members:
            if not re.search(rf"\b{member}\b", code):
                missing.append(f"the QML page does not name {name}.{member}")


xml_dir = pathlib.Path(sys.argv[1])
missing = []
check_headers(xml_dir, missing)
if len(sys.argv) > 2:
    check_qml_page(xml_dir, pathlib.Path(sys.argv[2]), missing)
for line in sorted(set(missing)):
    print(line, file=sys.stderr)
sys.exit(1 if missing else 0)
