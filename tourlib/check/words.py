"""A test's failure message in the student's words: what was checked, what the lesson
gives and what the program gave, without the test framework's expressions, file names
and raw bytes."""
import re

# A value as the framework prints it, when it is one a reader can use: a number, a
# short string or a list of numbers; raw bytes ("8-byte object <30-DE ...>") are not.
READABLE = re.compile(r'-?\d+(?:\.\d+)?|"[^"\n]{0,80}"|\{ [-\d, ]{0,120} \}')
NO_POSITION = 18446744073709551615  # std::string::npos: "not found"


def value(text):
    text = text.strip()
    if READABLE.fullmatch(text) and text != str(NO_POSITION):
        return text
    return None


def plain(failure):
    """The first failure of a test, told plainly (one to a few lines)."""
    lines = failure.splitlines()
    lines = [l for l in lines if not re.fullmatch(r"\S+:\d+", l.strip())]
    trace = []
    if "Google Test trace:" in lines:
        k = lines.index("Google Test trace:")
        trace = [re.sub(r"^\S+:\d+: ", "", l) for l in lines[k + 1:]]
        lines = lines[:k]
    said, rest = what_failed(lines)
    # The test's own words: what the check was about ("total lines", "the total").
    about = "; ".join(l.strip() for l in rest if l.strip())
    out = about + (": " if about and said else "") + said if said or about else "it failed"
    if trace:
        out += f" ({', '.join(trace)})"
    return out[:600]


def what_failed(lines):
    """What one framework assertion says, as (plain words, the lines after it)."""
    text = "\n".join(lines)
    m = re.match(r"Expected equality of these values:\n  (.*)\n(?:    Which is: (.*)\n)?"
                 r"  (.*)\n(?:    Which is: (.*)\n?)?", text + "\n")
    if m:
        got = value(m.group(2) or m.group(1))
        want = value(m.group(4) or m.group(3))
        rest = text[m.end():].splitlines()
        if got is not None and want is not None:
            return f"the lesson gives {want}, the program gave {got}", rest
        return "", rest
    m = re.match(r"Value of: [^\n]*\n  Actual: (?:false|true)(?: \((.*?)\))?\nExpected: [^\n]*\n?",
                 text, re.S)
    if m:
        reason = (m.group(1) or "").replace("\n", " ").strip()
        return reason, text[m.end():].splitlines()
    m = re.match(r"Expected: \((.*)\) (==|!=|<=|>=|<|>) \((.*)\), actual: (.*) vs (.*)\n?", text)
    if m:
        got, bound = value(m.group(4)), value(m.group(5))
        rest = text[m.end():].splitlines()
        words = {"<=": "at most", ">=": "at least", "<": "less than", ">": "more than",
                 "==": "equal to", "!=": "other than"}[m.group(2)]
        if got is not None and bound is not None:
            return f"the program gave {got}, the lesson gives {words} {bound}", rest
        return "", rest
    m = re.match(r"Failed\n?", text)
    if m:
        return "", text[m.end():].splitlines()
    return "", lines
