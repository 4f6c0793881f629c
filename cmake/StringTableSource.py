#!/usr/bin/env python3
"""Turns the string table (an XML document whose root holds
<string name="id">text</string> elements) into a C++ source with the entries
as constant data, so that the programs carry their texts without an XML parser.

    StringTableSource.py INPUT.xml OUTPUT.cpp

The first definition of an identifier wins; later ones are listed as
duplicates, texts without a name as unnamed, for CheckStringTable()."""
import sys
import xml.etree.ElementTree as ET


def c_string(text):
    out = ['"']
    for byte in text.encode("utf-8"):
        ch = chr(byte)
        if ch in '"\\':
            out.append("\\" + ch)
        elif 0x20 <= byte < 0x7F and ch != "?":
            out.append(ch)
        else:
            out.append("\\%03o" % byte)
    out.append('"')
    return "".join(out)


def main():
    source, target = sys.argv[1], sys.argv[2]
    root = ET.parse(source).getroot()
    entries, duplicates, unnamed, seen = [], [], [], set()
    for node in root.findall("string"):
        name = node.get("name", "")
        text = node.text or ""
        if not name:
            unnamed.append(text)
        elif name in seen:
            duplicates.append(name)
        else:
            seen.add(name)
            entries.append((name, text))

    lines = [
        "// Generated from the string table; do not edit.",
        '#include "support/StringTableData.h"',
        "",
        "namespace stow::resources {",
        "",
        "const StringTableEntry kStringEntries[] = {",
    ]
    lines += ["    {%s, %s}," % (c_string(n), c_string(t)) for n, t in entries]
    lines += ["    {nullptr, nullptr}};", "const std::size_t kStringEntryCount = %d;" % len(entries), ""]
    lines += ["const char* const kStringDuplicates[] = {"]
    lines += ["    %s," % c_string(d) for d in duplicates]
    lines += ["    nullptr};", "const std::size_t kStringDuplicateCount = %d;" % len(duplicates), ""]
    lines += ["const char* const kStringUnnamed[] = {"]
    lines += ["    %s," % c_string(u) for u in unnamed]
    lines += ["    nullptr};", "const std::size_t kStringUnnamedCount = %d;" % len(unnamed), ""]
    lines += ["}  // namespace stow::resources", ""]
    with open(target, "w", encoding="ascii") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
