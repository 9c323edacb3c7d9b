"""What a student's file may not hold, found in the text the compiler built it from: the
file as the compiler preprocessed it (macros expanded, comments gone, lines marked with
their files), which the check compiles, so that what is read here is what was built.

Refused anywhere in that text (the system's headers hold none of it, so no marking of
lines can move it out of sight):
  - inline assembly (valgrind's client requests, .incbin): `asm` in any form but the
    label that names a declaration's symbol, itself no runtime's name;
  - an attribute that tells the checkers to look away from a function, or that puts
    code or data where they do not look (no_sanitize..., section, alias, ifunc, ...);
  - the runtimes' own names: their hooks (__tsan_default_options, __tsan::OnReport),
    their annotations (AnnotateBenignRace...), the coverage counters they skip.
Refused in the file's own lines:
  - a #line that moves its lines into another file;
  - a call that starts another program, or this one again, or reaches the system past
    the C library (exec..., system, popen, syscall, dlopen, dlsym).

    found(preprocessed, main) -> [{"line": N, "what": words, "name": token}]
"""
import re

ASSEMBLY = {"asm", "__asm", "__asm__"}
# Attributes (each also spelled with __ around it) that turn a sanitizer or the
# instrumentation off for a function, or move code or data out of what it watches.
ATTRIBUTES = {"no_sanitize", "no_sanitize_thread", "no_sanitize_address",
              "no_sanitize_undefined", "no_sanitize_memory", "no_sanitize_coverage",
              "disable_sanitizer_instrumentation", "no_instrument_function", "section",
              "alias", "weakref", "ifunc", "naked", "no_split_stack"}
RUNTIMES = re.compile(r"__(?:tsan|sanitizer|ubsan|asan|lsan|msan|hwasan|dfsan|interceptor"
                      r"|llvm|gcov)|(?:WTF|Valgrind)?Annotate[A-Z]")
CALLS = {"execl", "execle", "execlp", "execv", "execve", "execvp", "execvpe", "execveat",
         "fexecve", "posix_spawn", "posix_spawnp", "system", "popen", "syscall", "dlopen",
         "dlmopen", "dlsym", "dlvsym"}
# The names the preprocessor gives what is not a file.
PSEUDO = {"<built-in>", "<command-line>", "<command line>"}

# One pass over the text: line markers (# LINE "FILE" FLAGS) and #pragma lines, each a
# line of its own; numbers (with their ' digit separators); string and character
# literals, skipped whole (what they hold is no code); identifiers; the brackets
# attributes come in.
TOKEN = re.compile(r'''^\#\ (?P<line>\d+)\ "(?P<file>(?:\\.|[^"\\\n])*)"(?P<flags>[^\n]*)\n
                     | ^[ \t]*\#[ \t]*pragma\b(?P<pragma>[^\n]*)
                     | (?P<number>\.?\d(?:[eEpP][-+]|['\w.])*)
                     | (?:u8|u|U|L)?R"(?P<delim>[^()\\\s]{0,16})\(.*?\)(?P=delim)"
                     | (?:u8|u|U|L)?(?P<string>"(?:\\.|[^"\\\n])*")
                     | (?:u8|u|U|L)?'(?:\\.|[^'\\\n])*'
                     | (?P<id>[A-Za-z_]\w*)
                     | (?P<open>\[\[|[(\[])|(?P<close>\]\]|[)\]]) | (?P<punct>[^\s\w])''',
                   re.X | re.S | re.M)
# A pragma's line holds tokens too, but no raw string: what looks like one there is
# text the compiler does not read as such.
PRAGMA = re.compile(r'''(?P<number>\.?\d(?:[eEpP][-+]|['\w.])*)
                      | (?P<string>"(?:\\.|[^"\\\n])*") | '(?:\\.|[^'\\\n])*'
                      | (?P<id>[A-Za-z_]\w*) | (?P<open>\[\[|[(\[]) | (?P<close>\]\]|[)\]])
                      | (?P<punct>[^\s\w])''', re.X)
# What may stand before a label (asm naming a declaration's symbol): a declarator's end.
# Before an asm statement stands a statement's end, a control keyword or its condition.
CONTROL = {"if", "while", "for", "switch"}
STATEMENT = {"else", "do", "return", "case", "default", "goto"}


class Reader:
    """The tokens of the text in order, with where each comes from and whether it is
    inside an attribute."""

    def __init__(self, preprocessed, main):
        self.text, self.main = preprocessed, main
        self.found, self.seen = [], set()
        self.file, self.first, self.since = None, 1, 0
        self.folders = set()  # the working folder, as GCC names it in a marker
        self.brackets = []  # the brackets open: (kind, opens an attribute, after a control)
        self.previous = ""  # the token before, as text ("control)": a condition's end)
        self.label = None  # an asm label being read: [line, strings so far, state]

    def line(self, at):
        return self.first + self.text.count("\n", self.since, at)

    def refuse(self, at, what, name):
        if (what, name) not in self.seen:
            self.seen.add((what, name))
            self.found.append({"line": self.line(at) if self.file == self.main else 0,
                               "what": what, "name": name})

    def marker(self, m):
        flags = m.group("flags").split()
        file = m.group("file").replace('\\"', '"').replace("\\\\", "\\")
        if file.endswith("//") and self.file == self.main:  # the folder compiled in (-g)
            self.folders.add(file)
        if (not {"1", "2"} & set(flags) and self.file is not None and file != self.file
                and not {file, self.file} <= PSEUDO | {self.main} | self.folders):
            self.refuse(m.start(), "a #line that moves its lines into another file", file)
        self.file, self.first, self.since = file, int(m.group("line")), m.end()

    def token(self, m, at):
        """One token."""
        name, string, previous = m.group("id"), m.group("string"), self.previous
        self.previous = name or m.group(0)
        if self.label is not None and self.asm_label(m, at):
            return
        if m.group("open"):
            opening = m.group("open") == "[[" or (m.group("open") == "(" and previous in (
                "__attribute__", "__attribute"))
            self.brackets.append((m.group("open"), opening, previous in CONTROL))
            return
        if m.group("close"):
            closes = [m.group("close")]
            if closes == ["]]"] and not (self.brackets and self.brackets[-1][0] == "[["):
                closes = ["]", "]"]  # two subscripts ending, not an attribute
            for _ in closes:
                if self.brackets and self.brackets.pop()[2]:
                    self.previous = "control)"
            return
        if string or not name:
            return
        if name in ASSEMBLY:
            label = previous in (")", "]") or (
                re.fullmatch(r"[A-Za-z_]\w*", previous) and previous not in STATEMENT | CONTROL)
            self.label = [at, "", "open" if label else "statement"]
            if not label:
                self.label = None
                self.refuse(at, "inline assembly", "asm")
        elif any(attribute for _, attribute, _ in self.brackets) and \
                name.strip("_") in ATTRIBUTES:
            self.refuse(at, "an attribute that hides code from the checkers", name)
        elif RUNTIMES.match(name):
            self.refuse(at, "one of the checkers' own names", name)

    def asm_label(self, m, at):
        """Reads `asm ( "..." ... )`; True if the token was taken. Anything else that
        follows asm is assembly."""
        start, text, state = self.label
        if state == "open" and m.group("open") == "(":
            self.label[2] = "strings"
            return True
        if state == "strings" and m.group("string"):
            self.label[1] += m.group("string")[1:-1]
            return True
        self.label = None
        if state == "strings" and m.group("close") == ")" and text:
            if RUNTIMES.match(text):
                self.refuse(start, "one of the checkers' own names", text)
            return True
        self.refuse(start, "inline assembly", "asm")
        return False

    def read(self):
        for m in TOKEN.finditer(self.text):
            if m.group("line"):
                self.marker(m)
                self.previous = ";"
                continue
            if m.group("pragma") is not None:
                base = m.start("pragma")
                for p in PRAGMA.finditer(m.group("pragma")):
                    self.token(p, base + p.start())
                self.previous = ";"
                continue
            name = m.group("id")
            if (name in CALLS and self.file == self.main and
                    re.match(r"\s*\(", self.text[m.end():m.end() + 80])):
                self.refuse(m.start(), "a call that starts a program or reaches past the "
                            "C library", name)
            self.token(m, m.start())
        return self.found


def found(preprocessed, main):
    """What the text holds that is not taken, in the order it comes, each once. The text
    is a file the compiler built: its literals are whole."""
    return Reader(preprocessed, main).read()
