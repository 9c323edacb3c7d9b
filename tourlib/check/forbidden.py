"""What a student's file may not hold, found in the compiler's own preprocessed view of
it (macros expanded, comments gone, each line marked with its file): inline assembly,
an instruction to the checkers to look away from a function, and a definition of one of
the checkers' own hooks (the functions a sanitizer calls to read its settings and
suppressions). With any of them a program can hide what the race detector or the memory
checkers would report; a lesson's file is C++ alone, and the checkers watch all of it.

    found(preprocessed, main) -> [{"line": N, "what": words, "name": token}]
"""
import re

ASSEMBLY = {"asm", "__asm", "__asm__"}
# Attributes that turn a sanitizer, or the instrumentation the checkers rely on, off
# for a function (each also spelled with __ around it).
LOOK_AWAY = {"no_sanitize", "no_sanitize_thread", "no_sanitize_address",
             "no_sanitize_undefined", "no_sanitize_memory", "no_sanitize_coverage",
             "disable_sanitizer_instrumentation", "no_instrument_function"}
# The runtimes' own names: their hooks (__tsan_default_options, ...) and entry points.
HOOKS = ("__tsan_", "__sanitizer_", "__ubsan_", "__asan_", "__lsan_", "__msan_",
         "__hwasan_", "__dfsan_", "__interceptor_")

# One pass over the preprocessor's output: its line markers (# LINE "FILE" FLAGS, at the
# start of a line), string and character literals (skipped whole: what they hold is no
# code, and a marker written inside a raw string is no marker), and identifiers.
SCAN = re.compile(r'''^\#\ (?P<line>\d+)\ "(?P<file>(?:\\.|[^"\\\n])*)"[^\n]*\n
                    | (?:u8|u|U|L)?R"(?P<delim>[^()\\\s]{0,16})\(.*?\)(?P=delim)"
                    | (?:u8|u|U|L)?"(?:\\.|[^"\\\n])*"
                    | (?:u8|u|U|L)?'(?:\\.|[^'\\\n])*'
                    | (?P<id>[A-Za-z_][A-Za-z_0-9]*)''', re.X | re.S | re.M)


def what(name):
    """Why the identifier `name` is not taken, or None."""
    if name in ASSEMBLY:
        return "inline assembly"
    if name.strip("_") in LOOK_AWAY:
        return "an instruction to the checkers to look away from a function"
    if name.startswith(HOOKS):
        return "one of the checkers' own names"
    return None


def found(preprocessed, main):
    """What the file `main` holds that is not taken, in the order it comes, once per
    identifier. `preprocessed` is a file that compiles: its literals are whole."""
    out, seen = [], set()
    current, first, since = None, 1, 0
    for m in SCAN.finditer(preprocessed):
        if m.group("line"):
            current = m.group("file").replace('\\"', '"').replace("\\\\", "\\")
            first, since = int(m.group("line")), m.end()
            continue
        name = m.group("id")
        why = what(name) if name and current == main else None
        if why and name not in seen:
            seen.add(name)
            out.append({"line": first + preprocessed.count("\n", since, m.start()),
                        "what": why, "name": name})
    return out
