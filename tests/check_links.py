#!/usr/bin/env python3
"""Fails unless every relative link of the given Markdown documents
resolves: the file or folder it names exists, and a "#anchor", where the link
has one, is one that GitHub makes from a heading of the target document
(lower case, punctuation dropped, blanks turned into hyphens, "-1", "-2" for
repeats). Web addresses are not followed. Links in code are not links.

    check_links.py DOCUMENT.md...
"""
import os
import re
import sys

FENCE = re.compile(r"^\s*(```|~~~)")
# [text](target) and [text](target "title"); ![alt](target) alike.
INLINE_LINK = re.compile(r"\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
# [label]: target
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+\"[^\"]*\")?\s*$", re.MULTILINE)
CODE_SPAN = re.compile(r"(`+)(.+?)\1", re.DOTALL)


def prose(text):
    """The document without fenced code blocks, line for line."""
    lines = []
    fenced = None
    for line in text.splitlines():
        match = FENCE.match(line)
        if fenced is None and match:
            fenced = match.group(1)
            lines.append("")
        elif fenced is not None:
            if line.strip().startswith(fenced):
                fenced = None
            lines.append("")
        else:
            lines.append(line)
    return "\n".join(lines)


def anchors(path):
    """The anchors GitHub gives the headings of a Markdown file."""
    with open(path, encoding="utf-8") as document:
        text = prose(document.read())
    made = set()
    seen = {}
    for line in text.splitlines():
        match = re.match(r"^\s{0,3}#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not match:
            continue
        heading = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", match.group(1))
        heading = heading.replace("`", "").replace("*", "").strip().lower()
        slug = re.sub(r"[^\w\- ]", "", heading).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        made.add(slug if count == 0 else "%s-%d" % (slug, count))
    return made


def links(path):
    with open(path, encoding="utf-8") as document:
        text = prose(document.read())
    # A code span's text is no link, but may be a link's text.
    text = CODE_SPAN.sub(lambda span: "x" * len(span.group(2)), text)
    return INLINE_LINK.findall(text) + REFERENCE.findall(text)


def broken(path, target):
    """Why the link does not resolve, or None."""
    if re.match(r"^[a-z][a-z0-9+.-]*:", target, re.IGNORECASE):
        return None  # a web address (http:, https:, mailto:)
    file_part, _, anchor = target.partition("#")
    resolved = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
    if not os.path.exists(resolved):
        return "no file " + resolved
    if anchor:
        if not resolved.endswith(".md"):
            return "an anchor into a file that is not Markdown"
        if anchor not in anchors(resolved):
            return "no heading gives the anchor #" + anchor
    return None


def main():
    count = 0
    failures = []
    for path in sys.argv[1:]:
        for target in links(path):
            count += 1
            reason = broken(path, target)
            if reason:
                failures.append("%s: (%s): %s" % (path, target, reason))
    for failure in failures:
        print(failure)
    print("%d links in %d documents, %d broken" % (count, len(sys.argv) - 1, len(failures)))
    return 1 if failures or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
