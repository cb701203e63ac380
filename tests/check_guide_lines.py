#!/usr/bin/env python3
"""Fails unless every log line that the user guide's troubleshooting table
("By log line") quotes is one that the service can write: each quoted line
must be matched whole by a string literal of the service's sources, whose
conversions (%s, 0x%08x, ...) stand for any text, the guide's placeholders
(<name>, <code>, X, ...) among it. A line renamed in the code and not in the
guide, or a row for a line that no longer exists, fails. Fragments that
only add to the line before them ("(rc=<code>)") are not checked alone.

    check_guide_lines.py user-guide.md SOURCE...
"""
import re
import sys

ANY = "\x01"


def quoted_lines(guide):
    table = guide.split("### By log line", 1)[1].split("\n### ", 1)[0]
    lines = []
    for row in table.splitlines():
        if not row.startswith("| `"):
            continue
        first = row.split(" | ", 1)[0]
        lines += [line for line in re.findall(r"`([^`]+)`", first) if not line.startswith("(")]
    return lines


def fixed_text(parts):
    return len("".join(parts).strip())


def literals(paths):
    """Each literal twice: as a regex whose conversions match any text, and
    as a sample whose conversions are ANY."""
    found = []
    for path in paths:
        with open(path, encoding="utf-8") as source:
            text = source.read()
        for literal in re.findall(r'"((?:[^"\\\n]|\\.)*)"', text):
            literal = literal.replace('\\"', '"').replace("\\\\", "\\")
            parts = re.split(r"(?:0x)?%[-0-9.]*l?[sdux]", literal)
            # A bare "%s" would match any line.
            if fixed_text(parts) >= 8:
                found.append((re.compile(".*".join(re.escape(part) for part in parts), re.DOTALL), ANY.join(parts)))
    return found


GUIDE_PLACEHOLDER = r"<[^>]+>|\.\.\.|\bX\b"


def written(line, candidates):
    """Whether the service writes the line: a literal matches it whole, or,
    for a line the guide cuts short with "...", it matches a literal."""
    parts = re.split(GUIDE_PLACEHOLDER, line)
    if fixed_text(parts) < 8:
        return True  # "ERROR ...": a reference to the line before, not a line
    sample = ANY.join(parts)
    if any(regex.fullmatch(sample) for regex, _ in candidates):
        return True
    pattern = re.compile(".+".join(re.escape(part) for part in parts), re.DOTALL)
    return "..." in line and any(pattern.fullmatch(text) for _, text in candidates)


def main():
    with open(sys.argv[1], encoding="utf-8") as guide:
        lines = quoted_lines(guide.read())
    candidates = literals(sys.argv[2:])
    missing = [line for line in lines if not written(line, candidates)]
    for line in missing:
        print("the guide quotes a line the service never writes: " + line)
    print("%d quoted log lines, %d not found" % (len(lines), len(missing)))
    return 1 if missing or not lines else 0


if __name__ == "__main__":
    sys.exit(main())
