"""One parser per tool report: ThreadSanitizer (with Archer), valgrind's memcheck,
UndefinedBehaviorSanitizer and AddressSanitizer. Each reads a run's stderr and gives the
first report it holds as data: the tool, its headline, and the lines of the checked file
it names, each with what the report says happened there."""
import re


def report(stderr, source):
    """The first report in `stderr` (text) by any of the tools, or None. `source` is the
    checked file's name or path: only frames in that file are told."""
    lines = stderr.splitlines()
    found = [(start, parse) for parse in (tsan, ubsan, asan, valgrind)
             for start in [parse.start(lines)] if start is not None]
    if not found:
        return None
    start, parse = min(found, key=lambda f: f[0])
    return parse(lines, start, re.escape(source.rsplit("/", 1)[-1]))


def starts_at(test):
    def start(lines):
        return next((k for k, line in enumerate(lines) if test(lines, k)), None)
    return start


def result(tool, headline, where, lines, start, kind="other"):
    """A report as data. `kind` is what the tool found, in its own terms: "race",
    "uninitialised", "out_of_bounds", "overflow", "leak" or "other"."""
    return {"tool": tool, "headline": headline, "kind": kind, "where": where,
            "excerpt": [] if where else lines[start:start + 8]}


def frame_line(text, base):
    """The line number of the checked file in one stack frame, or None."""
    m = re.search(r"(?:^|[\s(/])" + base + r":(\d+)", text)
    return int(m.group(1)) if m else None


def walk_stacks(lines, base, label_of, end):
    """Each stack of a report (an access, where a value came from) told by its first
    frame in the checked file, with what `label_of` gives the line heading the stack: a
    label, or (label, fields) with what the tool says of the access as data (None: a
    block this parser does not tell). At most four places."""
    where, label, told = [], None, False
    for line in lines:
        if end(line, where):
            break
        body = re.sub(r"^==\d+== ?", "", line).strip()
        if not re.match(r"#\d+ |at 0x|by 0x", body):
            label, told = label_of(line, body), False
            continue
        fields = {}
        if isinstance(label, tuple):
            label, fields = label
        number = frame_line(body, base)
        if number is None and re.search(r"(?:^|[\s(/])" + base + r"(?:\s|\)|$)", body):
            # The file without a line: the optimiser lost it. The frames further out name
            # only the region's opening line, which is not where the access is.
            told = True
        if number is not None and label is not None and not told:
            told = True
            place = dict(fields, line=number, label=label)
            if place not in where:
                where.append(place)
            if len(where) >= 4:
                break
    return where


def tsan(lines, start, base):
    headline = re.sub(r"^WARNING: ThreadSanitizer: |\s*\(pid=\d+\)$", "", lines[start].strip())

    def label_of(_, body):
        m = re.match(r"(previous )?(atomic )?(read|write)[^:]* by (.*):$", body, re.I)
        if not m:
            return None
        label = f"{m.group(1) or ''}{m.group(2) or ''}{m.group(3)}".lower() + f" by {m.group(4)}"
        return label, {"access": m.group(3).lower(), "atomic": bool(m.group(2)),
                       "previous": bool(m.group(1))}

    where = walk_stacks(lines[start + 1:start + 80], base, label_of,
                        lambda line, where: "SUMMARY" in line or line.startswith("====="))
    return result("ThreadSanitizer", headline, where, lines, start,
                  "race" if "data race" in headline else "other")


tsan.start = starts_at(lambda lines, k: "WARNING: ThreadSanitizer:" in lines[k])


def valgrind(lines, start, base):
    headline = re.sub(r"^==\d+== ", "", lines[start]).strip()

    def label_of(line, body):
        if line.startswith("==") and body and not re.match(r"Thread \d+:", body):
            return body[0].lower() + body[1:].rstrip(":")
        return None

    def end(line, where):
        return bool(where) and ("SUMMARY" in line or re.fullmatch(r"==\d+== ?", line))

    where = walk_stacks(lines[start:start + 80], base, label_of, end)
    kind = ("uninitialised" if "uninitialised" in headline else
            "out_of_bounds" if re.match(r"Invalid (read|write)", headline) else
            "leak" if "lost" in headline else "other")
    return result("valgrind", headline, where, lines, start, kind)


# A valgrind error is a line followed by its stack.
valgrind.start = starts_at(
    lambda lines, k: k + 1 < len(lines) and re.match(r"==\d+==\s+at 0x", lines[k + 1])
    and re.match(r"==\d+== \S", lines[k]) and not re.match(r"==\d+== Thread \d+:", lines[k]))


def ubsan(lines, start, base):
    # The headline names the line itself, and there is no stack.
    text = lines[start].strip()
    headline = re.sub(r"^.*?runtime error: ", "", text)
    number = frame_line(text.split(": runtime error")[0], base)
    where = [{"line": number, "label": ""}] if number is not None else []
    kind = ("out_of_bounds" if "out of bounds" in headline else
            "overflow" if "overflow" in headline else "other")
    return result("UndefinedBehaviorSanitizer", headline, where, lines, start, kind)


ubsan.start = starts_at(lambda lines, k: "runtime error:" in lines[k])


def asan(lines, start, base):
    headline = re.sub(r"^==\d+==ERROR: AddressSanitizer: ", "", lines[start].strip())
    headline = re.sub(r" on address 0x\w+.*$", "", headline)

    def label_of(_, body):
        m = re.match(r"(READ|WRITE) of size (\d+)", body)
        if not m:
            return None
        return f"{m.group(1).lower()} of {m.group(2)} bytes", {"access": m.group(1).lower()}

    where = walk_stacks(lines[start + 1:start + 80], base, label_of,
                        lambda line, where: "SUMMARY" in line)
    kind = ("out_of_bounds" if "overflow" in headline or "out-of-bounds" in headline
            else "leak" if "leak" in headline else "other")
    return result("AddressSanitizer", headline, where, lines, start, kind)


asan.start = starts_at(lambda lines, k: "ERROR: AddressSanitizer" in lines[k])
