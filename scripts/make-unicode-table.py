#!/usr/bin/env python3
"""Writes src/client/core/unicode_table.h from the Unicode Character Database's UnicodeData.txt
(Debian: the unicode-data package, /usr/share/unicode/UnicodeData.txt): the code points whose
general category is Mn or Me (marks that combine with the character before them) and Cf (format
characters, which show nothing of themselves), as sorted ranges for a binary search.

    scripts/make-unicode-table.py [UnicodeData.txt] > src/client/core/unicode_table.h
"""
import sys


def ranges(points):
    out = []
    for p in sorted(points):
        if out and out[-1][1] == p - 1:
            out[-1][1] = p
        else:
            out.append([p, p])
    return out


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode/UnicodeData.txt"
    cats = {"Mn": set(), "Me": set(), "Cf": set()}
    first = None
    with open(path, encoding="utf-8") as data:
        for line in data:
            fields = line.split(";")
            code, name, cat = int(fields[0], 16), fields[1], fields[2]
            if name.endswith(", First>"):
                first = code
                continue
            start = first if name.endswith(", Last>") else code
            first = None
            if cat in cats:
                cats[cat].update(range(start, code + 1))

    def table(name, points, comment):
        rows = ranges(points)
        lines = ["// " + comment, "const unicode_range %s[] = {" % name]
        cells = ["{0x%04X, 0x%04X}," % (a, b) for a, b in rows]
        for i in range(0, len(cells), 5):
            lines.append("    " + " ".join(cells[i:i + 5]))
        lines.append("};")
        return "\n".join(lines), len(points)

    marks, n_marks = table("UNICODE_MARKS", cats["Mn"] | cats["Me"],
                           "General category Mn and Me: marks that combine with the character before them.")
    formats, n_formats = table("UNICODE_FORMATS", cats["Cf"],
                               "General category Cf: format characters, which show nothing of themselves.")
    print("// unicode_table.h - made by scripts/make-unicode-table.py from UnicodeData.txt; do not edit.")
    print("// %d marks, %d format characters. Included by text.cpp alone." % (n_marks, n_formats))
    print("#pragma once")
    print()
    print("#include <cstdint>")
    print()
    print("struct unicode_range {")
    print("    std::uint32_t first, last;")
    print("};")
    print()
    print(marks)
    print()
    print(formats)


main()
