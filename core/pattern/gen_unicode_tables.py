#!/usr/bin/env python3
"""Writes the Unicode sets of the value-pattern translator as C++ source.

Usage: gen_unicode_tables.py UCD_DIR OUTPUT.cpp

UCD_DIR holds the Unicode Character Database (Debian's unicode-data package
installs it in /usr/share/unicode). Read from it:

  UnicodeData.txt            the general category of every code point
                             (code points it does not list are Cn);
  Scripts.txt                the script of every code point (unlisted:
                             Unknown);
  PropList.txt               White_Space and Join_Control;
  DerivedCoreProperties.txt  Alphabetic;
  PropertyValueAliases.txt   every name of each category and script, and
                             the members of the grouped categories (L, LC,
                             M, N, P, S, Z, C);
  PropertyAliases.txt        the names of the two properties themselves;
  DerivedAge.txt             the Unicode version that assigned each code
                             point, so that a set can be written for an
                             engine with older tables as its own property
                             plus the code points those tables lack;
  CaseFolding.txt            simple case folding (statuses C and S), for
                             the case-insensitive patterns.

The Perl classes are defined as in Unicode Technical Standard #18, annex C:
\\d is Nd; \\s is White_Space; \\w is Alphabetic, every mark, Nd,
Connector_Punctuation and Join_Control.

Names are stored in their loose form (UAX #44, LM3): lower case, without
spaces, underscores and hyphens.

Every set that case folding changes also has its folded form among the
sets. Case folding itself is stored as its orbits: the code points that fold to one
another. Within an orbit each member leads to the next larger one, the
largest back to the smallest, so following the links from any member visits
the whole orbit. The links are written as runs of code points that share
one offset to their successor, and as runs of adjacent pairs that lead to
each other (offset 0 stands for those), so that a set can be folded a run at
a time.
"""

import os
import sys

MAX_CODE_POINT = 0x10FFFF
SURROGATES = range(0xD800, 0xE000)

# Fixed set numbers, declared in unicode_tables.h.
PERL_SETS = ("word", "digit", "space")
SPECIAL_SETS = ("any", "ascii", "assigned")

GENERAL_CATEGORY = 0
SCRIPT = 1


def data_lines(path):
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            body, _, comment = line.partition("#")
            fields = [field.strip() for field in body.split(";")]
            if fields[0]:
                yield fields, comment


def code_points(field):
    first, _, last = field.partition("..")
    return range(int(first, 16), int(last or first, 16) + 1)


def loose(name):
    return "".join(c for c in name.lower() if c not in " _-")


def ranges(points):
    out = []
    for cp in sorted(points):
        if cp in SURROGATES:
            continue  # never part of UTF-8 text
        if out and out[-1][1] == cp - 1:
            out[-1][1] = cp
        else:
            out.append([cp, cp])
    return out


def general_categories(ucd):
    category = {}
    first = None
    for fields, _ in data_lines(os.path.join(ucd, "UnicodeData.txt")):
        cp, name, gc = int(fields[0], 16), fields[1], fields[2]
        if name.endswith(", First>"):
            first = cp
        elif name.endswith(", Last>"):
            for c in range(first, cp + 1):
                category[c] = gc
        else:
            category[cp] = gc
    return category


def property_points(path, wanted):
    found = {name: set() for name in wanted}
    for fields, _ in data_lines(path):
        if fields[1] in found:
            found[fields[1]].update(code_points(fields[0]))
    return found


def fold_successors(ucd):
    """Each code point whose simple case folding orbit has other members,
    mapped to the next member (the largest to the smallest)."""
    orbits = {}
    for fields, _ in data_lines(os.path.join(ucd, "CaseFolding.txt")):
        if fields[1] in ("C", "S"):
            target = int(fields[2], 16)
            orbits.setdefault(target, {target}).add(int(fields[0], 16))
    successor = {}
    for members in orbits.values():
        ordered = sorted(members)
        for cp, following in zip(ordered, ordered[1:] + ordered[:1]):
            successor[cp] = following
    return successor


def fold_runs(successor):
    """The successor links as [first, last, offset] runs; offset 0 marks a
    run of pairs (first, first + 1), (first + 2, first + 3), ... that lead
    to each other."""
    def pairs_at(cp):
        return successor.get(cp) == cp + 1 and successor.get(cp + 1) == cp

    runs = []
    points = sorted(successor)
    i = 0
    while i < len(points):
        cp = points[i]
        if pairs_at(cp) and pairs_at(cp + 2):
            last = cp + 1
            while pairs_at(last + 1):
                last += 2
            runs.append([cp, last, 0])
        else:
            offset = successor[cp] - cp
            last = cp
            while successor.get(last + 1) == last + 1 + offset and not (
                    pairs_at(last + 1) and pairs_at(last + 3)):
                last += 1
            runs.append([cp, last, offset])
        while i < len(points) and points[i] <= runs[-1][1]:
            i += 1
    return runs


def fold_closure(points, successor):
    """`points` with every member of the orbit of each of them."""
    closure = set(points)
    for cp in points:
        following = successor.get(cp)
        while following is not None and following != cp:
            closure.add(following)
            following = successor[following]
    return closure


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    ucd, output = sys.argv[1:]
    category = general_categories(ucd)
    everything = range(MAX_CODE_POINT + 1)

    script = {}
    for fields, _ in data_lines(os.path.join(ucd, "Scripts.txt")):
        for cp in code_points(fields[0]):
            script[cp] = fields[1]

    lists = property_points(os.path.join(ucd, "PropList.txt"), ("White_Space", "Join_Control"))
    alphabetic = property_points(os.path.join(ucd, "DerivedCoreProperties.txt"),
                                 ("Alphabetic",))["Alphabetic"]

    by_category = {}
    for cp in everything:
        by_category.setdefault(category.get(cp, "Cn"), set()).add(cp)
    by_script = {}
    for cp in everything:
        by_script.setdefault(script.get(cp, "Unknown"), set()).add(cp)

    def in_category(*names):
        return set().union(*(by_category.get(name, set()) for name in names))

    word = alphabetic | in_category("Mn", "Mc", "Me", "Nd", "Pc") | lists["Join_Control"]
    sets = {
        ("perl", "word"): word,
        ("perl", "digit"): in_category("Nd"),
        ("perl", "space"): lists["White_Space"],
        ("special", "any"): set(everything),
        ("special", "ascii"): set(range(0x80)),
        ("special", "assigned"): set(category),
    }

    # name (loose) -> (property, set key), in the order of PropertyValueAliases.
    names = []
    for special in SPECIAL_SETS:
        names.append((special, GENERAL_CATEGORY, ("special", special)))
    for fields, comment in data_lines(os.path.join(ucd, "PropertyValueAliases.txt")):
        if fields[0] == "gc":
            members = [m.strip() for m in comment.split("|")] if "|" in comment else [fields[1]]
            key = ("gc", fields[1])
            sets[key] = in_category(*members)
            for alias in fields[1:]:
                names.append((loose(alias), GENERAL_CATEGORY, key))
        elif fields[0] == "sc":
            long_name = fields[2]
            key = ("sc", long_name)
            sets[key] = by_script.get(long_name, set())
            for alias in fields[1:]:
                names.append((loose(alias), SCRIPT, key))

    property_names = []
    for fields, _ in data_lines(os.path.join(ucd, "PropertyAliases.txt")):
        kind = {"gc": GENERAL_CATEGORY, "sc": SCRIPT}.get(fields[0])
        if kind is not None:
            property_names += [(loose(alias), kind) for alias in fields]

    ages = []
    for fields, _ in data_lines(os.path.join(ucd, "DerivedAge.txt")):
        major, minor = (int(part) for part in fields[1].split("."))
        points = code_points(fields[0])
        if ages and ages[-1][1] == points.start - 1 and ages[-1][2:] == [major, minor]:
            ages[-1][1] = points.stop - 1
        else:
            ages.append([points.start, points.stop - 1, major, minor])
    ages.sort()

    keys = [("perl", name) for name in PERL_SETS]
    keys += [key for key in sets if key[0] != "perl"]
    index = {key: i for i, key in enumerate(keys)}
    names = sorted(set((name, kind, index[key]) for name, kind, key in names))
    for (a, kind_a, _), (b, kind_b, _) in zip(names, names[1:]):
        if (a, kind_a) == (b, kind_b):
            sys.exit(f"the name {a} stands for two sets")
    for name, _, _ in names:
        if name.startswith("is"):
            sys.exit(f"the name {name} would lose its leading 'is' in a lookup")

    version = "unknown"
    with open(os.path.join(ucd, "PropertyValueAliases.txt"), encoding="utf-8") as head:
        first_line = head.readline()
        if first_line.startswith("# PropertyValueAliases-"):
            version = first_line.split("-", 1)[1].strip().removesuffix(".txt")

    # A set that case folding changes gets its folded form as a set of its
    # own, after the named ones, so that folding it costs nothing.
    successor = fold_successors(ucd)
    folded = {}
    for key in list(keys):
        closure = fold_closure(sets[key], successor)
        if closure != sets[key]:
            sets[("folded",) + key] = closure
            folded[key] = ("folded",) + key
            keys.append(folded[key])
    index = {key: i for i, key in enumerate(keys)}
    set_ranges = [ranges(sets[key]) for key in keys]
    lines = [
        f"// Generated by core/pattern/gen_unicode_tables.py from the Unicode {version}",
        "// Character Database. Do not edit.",
        '#include "core/pattern/unicode_tables.h"',
        "",
        "namespace vorlisk::unicode_tables {",
        "",
        "const Range kRanges[] = {",
    ]
    for spans in set_ranges:
        lines += [f"    {{0x{first:X}, 0x{last:X}}}," for first, last in spans]
    lines += ["};", "", "const SetSpan kSets[] = {"]
    begin = 0
    for key, spans in zip(keys, set_ranges):
        engine_name = {"gc": key[1] if key[1] != "LC" else "L&", "sc": "sc:" + key[1],
                       "special": "Any" if key[1] == "any" else None}.get(key[0])
        engine_name = f'"{engine_name}"' if engine_name else "nullptr"
        lines.append(f"    {{{begin}, {len(spans)}, {engine_name}, {index[folded.get(key, key)]}}},")
        begin += len(spans)
    lines += ["};", f"const size_t kSetCount = {len(keys)};", "", "const Name kNames[] = {"]
    lines += [f'    {{"{name}", {kind}, {set_index}}},' for name, kind, set_index in names]
    lines += ["};", f"const size_t kNameCount = {len(names)};", ""]
    property_names = sorted(set(property_names))
    lines.append("const PropertyName kPropertyNames[] = {")
    lines += [f'    {{"{name}", {kind}}},' for name, kind in property_names]
    lines += ["};", f"const size_t kPropertyNameCount = {len(property_names)};", ""]
    lines.append("const AgedRange kAges[] = {")
    lines += [f"    {{0x{first:X}, 0x{last:X}, {major}, {minor}}}," for first, last, major, minor in ages]
    lines += ["};", f"const size_t kAgeCount = {len(ages)};", ""]
    runs = fold_runs(successor)
    expanded = {}
    for first, last, offset in runs:
        for cp in range(first, last + 1):
            expanded[cp] = cp + offset if offset else cp + 1 - 2 * ((cp - first) % 2)
    if expanded != successor:
        sys.exit("the case folding runs do not reproduce the orbits")
    lines.append("const FoldRun kFoldRuns[] = {")
    lines += [f"    {{0x{first:X}, 0x{last:X}, {offset}}}," for first, last, offset in runs]
    lines += ["};", f"const size_t kFoldRunCount = {len(runs)};", ""]
    lines.append("}  // namespace vorlisk::unicode_tables")
    with open(output, "w", encoding="ascii") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
