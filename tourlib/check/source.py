"""What a student's file does with OpenMP, read from its text: the parallel regions and
their clauses, where each variable is declared, which lines update what, the printf
calls and the runtime calls. A reading of the code's shape, enough to tell a mistake's
line and variable once a report or a failing case has shown that there is one."""
import re

TYPES = r"(?:const\s+)?(?:unsigned\s+|signed\s+|long\s+|short\s+)*" \
        r"(?:int|long|double|float|char|bool|auto|size_t|short|omp_lock_t)\b"
DECLARATION = re.compile(r"(?:^\s*|[;{(]\s*)" + TYPES + r"\s+([^;]*?)(?:;|$)")
UPDATE = re.compile(r"^\s*([A-Za-z_]\w*)\s*(\[[^\]]*\])?\s*(\+\+|--|[-+*/|&^]?=)(?!=)"
                    r"|^\s*(?:\+\+|--)\s*([A-Za-z_]\w*)")
PRINTF = re.compile(r"printf\s*\(\s*\"((?:[^\"\\]|\\.)*)\"")
CLAUSE = re.compile(r"\b(private|firstprivate|lastprivate|shared|reduction)\s*\(([^)]*)\)")


def code_of(text):
    """The lines without comments and with string contents blanked, so that braces and
    names inside them are not read as code; the line structure is kept."""
    out, in_block = [], False
    for line in text.splitlines():
        code, k = "", 0
        while k < len(line):
            if in_block:
                end = line.find("*/", k)
                if end < 0:
                    k = len(line)
                    continue
                in_block, k = False, end + 2
            elif line.startswith("/*", k):
                in_block, k = True, k + 2
            elif line.startswith("//", k):
                break
            elif line[k] == '"':
                end = k + 1
                while end < len(line) and line[end] != '"':
                    end += 2 if line[end] == "\\" else 1
                code += '""'
                k = end + 1
            else:
                code += line[k]
                k += 1
        out.append(code)
    return out


class Region:
    def __init__(self, pragma_line, pragma, start, end):
        self.line, self.pragma, self.start, self.end = pragma_line, pragma, start, end
        self.clauses = {}
        for kind, names in CLAUSE.findall(pragma):
            names = names.split(":", 1)[-1] if kind == "reduction" else names
            for name in names.split(","):
                self.clauses[name.strip()] = kind

    def holds(self, line):
        return self.start <= line <= self.end


class Source:
    """Line numbers count from 1, as compilers and reports count them."""

    def __init__(self, text):
        self.text = text
        self.lines = text.splitlines()
        self.code = code_of(text)
        self.regions = [self.region_at(k) for k, line in enumerate(self.code, 1)
                        if re.match(r"\s*#\s*pragma\s+omp\s+parallel\b", line)]
        self.declared = {}  # name -> the line of its first declaration
        for k, line in enumerate(self.code, 1):
            if line.lstrip().startswith("#"):
                continue
            for m in DECLARATION.finditer(line):
                for part in split_top(m.group(1)):
                    name = re.match(r"\s*\**\s*([A-Za-z_]\w*)", part)
                    if name and name.group(1) not in self.declared:
                        self.declared[name.group(1)] = k

    def region_at(self, pragma_line):
        """The region a parallel pragma opens: the braces of the statement that follows, or
        that statement alone (a loop, with its body)."""
        k = pragma_line  # the next line, 0-based index of line pragma_line + 1
        while k < len(self.code) and not self.code[k].strip():
            k += 1
        end, depth, opened = k, 0, False
        for end in range(k, len(self.code)):
            line = self.code[end]
            depth += line.count("{") - line.count("}")
            opened = opened or "{" in line
            if opened and depth <= 0 or not opened and line.rstrip().endswith(";") and \
                    not line.lstrip().startswith("for"):
                break
        return Region(pragma_line, self.code[pragma_line - 1], k + 1, end + 1)

    def region_of(self, line):
        return next((r for r in self.regions if r.holds(line)), None)

    def shared(self, name, line):
        """Whether `name`, used at `line`, is the team's one variable: declared before the
        region that holds the line, and given to no clause that makes it private."""
        region = self.region_of(line)
        at = self.declared.get(name)
        return (region is not None and at is not None and not region.holds(at)
                and at < region.line and region.clauses.get(name, "shared") == "shared")

    def updated(self, line):
        """The variable that `line` assigns or increments, or None."""
        m = UPDATE.match(self.code[line - 1]) if 0 < line <= len(self.code) else None
        return (m.group(1) or m.group(4)) if m else None

    def protected(self, line):
        """Whether `line` is an atomic update (its pragma on the line before) or inside a
        critical section."""
        before = next((self.code[k] for k in range(line - 2, -1, -1) if self.code[k].strip()), "")
        if re.match(r"\s*#\s*pragma\s+omp\s+atomic\b(?!\s+read)", before):
            return True
        return any(k < line <= self.region_at(k).end for k in self.pragmas("critical"))

    def loop_counter(self, line):
        """The counter of a for loop whose header is at `line`, if it was declared before."""
        m = re.match(r"\s*for\s*\(\s*([A-Za-z_]\w*)\s*=", self.code[line - 1]) \
            if 0 < line <= len(self.code) else None
        return m.group(1) if m else None

    def printfs(self):
        """(line, format) of every printf with a literal format."""
        return [(k, m.group(1)) for k, line in enumerate(self.lines, 1)
                for m in [PRINTF.search(line)] if m and not self.code[k - 1].lstrip().startswith("//")]

    def calls(self, function):
        """The lines that call `function`."""
        return [k for k, line in enumerate(self.code, 1)
                if re.search(r"\b" + function + r"\s*\(", line)]

    def pragmas(self, word):
        """The lines of OpenMP pragmas that hold `word` (a construct or a clause)."""
        return [k for k, line in enumerate(self.code, 1)
                if re.match(r"\s*#\s*pragma\s+omp\b", line) and re.search(r"\b" + word + r"\b", line)]


def split_top(text):
    """`text` split at the commas outside brackets and parentheses."""
    parts, depth, current = [], 0, ""
    for c in text:
        depth += 1 if c in "([{" else -1 if c in ")]}" else 0
        if c == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += c
    return parts + [current]
