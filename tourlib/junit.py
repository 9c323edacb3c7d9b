"""The JUnit report that CI systems and course platforms read: one test case per
submission and family, each with its family's own time; every name and message valid
XML whatever bytes it came from."""
from xml.sax.saxutils import escape, quoteattr

from .check.verdict import at_line
from .term import printable


def xml_text(text):
    """Text that XML 1.0 takes whatever the bytes were (control characters written out),
    escaped for an element's body."""
    return escape(printable(str(text)))


def xml_attribute(text):
    return quoteattr(printable(str(text)))


def family_times(doc):
    """Each family's own time: the behaviour family runs first, alone, and the others
    then side by side, so each of those is timed from the behaviour family's end (a
    family's "seconds" is counted from the check's start)."""
    families = doc.get("families") or []
    first = next((f.get("seconds", 0) for f in families if f["name"] == "behaviour"), 0)
    return {f["name"]: round(max(0.0, f.get("seconds", 0) - (first if f["name"] != "behaviour"
                                                                else 0)), 1)
            for f in families}


def junit(name, results):
    """One test case per submission and family, as CI systems read them, each timed by
    its family's own time."""
    cases, failures, errors, total = [], 0, 0, 0.0
    for student, doc in results:
        families = doc.get("families") or [{"name": "check", "status": "error",
                                            "message": doc["message"]}]
        times = family_times(doc)
        total += doc.get("seconds", 0) or 0
        for family in families:
            body = ""
            if family["status"] == "fail":
                failures += 1
                detail = "\n".join(f"{d['mistake']}{at_line(d)}: {d['fix']}"
                                   for d in doc.get("diagnoses", []))
                body = (f"<failure message={xml_attribute(family['message'])}>"
                        f"{xml_text(detail)}</failure>")
            elif family["status"] == "error":
                errors += 1
                body = f"<error message={xml_attribute(family['message'])}/>"
            cases.append(f'    <testcase classname={xml_attribute(name + "." + student)} '
                         f'name={xml_attribute(family["name"])} '
                         f'time="{times.get(family["name"], 0)}">'
                         f"{body}</testcase>")
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<testsuites>\n'
            f'  <testsuite name={xml_attribute(name)} tests="{len(cases)}" failures="{failures}" '
            f'errors="{errors}" time="{round(total, 1)}">\n' + "\n".join(cases)
            + "\n  </testsuite>\n</testsuites>\n")
