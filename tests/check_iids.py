#!/usr/bin/env python3
"""Fails unless each program holds, as a COM identifier in its bytes, the
identifier of every interface of every VirtualBox API generation that the
stand-in's description (generations.txt, written from VirtualBox's own
interface definitions) names.

    check_iids.py generations.txt PROGRAM...
"""
import sys
import uuid


def identifiers(path):
    found = []
    generation = None
    with open(path) as description:
        for raw in description:
            words = raw.split("#", 1)[0].split()
            if len(words) >= 2 and words[0] == "generation":
                generation = words[1]
            elif generation and len(words) >= 2 and words[0].startswith("I") and words[0] != "method":
                found.append((generation, words[0], uuid.UUID(words[1])))
    return found


def main():
    wanted = identifiers(sys.argv[1])
    status = 0 if wanted else 1
    for program in sys.argv[2:]:
        with open(program, "rb") as image:
            data = image.read()
        missing = [(g, name, iid) for g, name, iid in wanted if iid.bytes_le not in data]
        for g, name, iid in missing:
            print("%s lacks %s of %s {%s}" % (program, name, g, iid))
        print("%s: %d of %d identifiers" % (program, len(wanted) - len(missing), len(wanted)))
        status = status or (1 if missing else 0)
    return status


if __name__ == "__main__":
    sys.exit(main())
