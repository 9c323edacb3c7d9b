"""What a C++ file does with OpenMP, as the compiler's own parse shows it: clang's AST of
the file (its JSON dump) read into plain facts. The functions and their parameters, the
variables with where and how each is declared, the OpenMP directives with the statement
each applies to and the variables of its clauses, every assignment and update with its
target, the calls with their arguments (a printf with its format) and the stream writes,
and the loops. Lines are the compiler's, from its source locations.

The facts are data (lists and dicts of strings and numbers), so that they cross a
process boundary whole; Model answers the questions the diagnoses ask of them: which
region a line runs in (a helper called from a region runs in it too), whether a variable
is the team's one or each thread's own, what a reference parameter is bound to.

The standard headers come from a precompiled header that the caller builds once from
the list below: the dump then holds the file's own declarations alone (a few kB, not
the hundred MB that <iostream> brings)."""
import bisect
import hashlib
import json
import os
import re
import subprocess

HEADERS = ("cstdio", "cstdlib", "cstring", "cmath", "cstddef", "cstdint", "climits",
           "iostream", "iomanip", "vector", "array", "string", "algorithm", "numeric",
           "chrono", "omp.h")
# The whole C++ library in one header, where the library has it (GCC's): a habit of
# students, and without it in the precompiled header a file that includes it dumps
# some 300 MB.
EVERYTHING = "bits/stdc++.h"
FLAGS = ["-std=c++17", "-fopenmp"]
# The dump of a lesson is about 80 kB; a file that includes more than the precompiled
# headers is read up to this size, and past it has no model.
DUMP_CAP = 32 << 20

CLAUSE = re.compile(r"\b(private|firstprivate|lastprivate|shared|reduction|copyin|"
                    r"copyprivate|linear)\s*\(([^()]*)\)")
UPDATES = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>=", "++", "--"}
FUNCTIONS = ("FunctionDecl", "CXXMethodDecl", "CXXConstructorDecl", "CXXDestructorDecl")
# Directives that divide a loop, whose counter (and with collapse(n), the n nested
# loops' counters) each thread has its own of.
LOOPS = ("for", "simd", "taskloop", "distribute")


# -- running clang ------------------------------------------------------------------

def precompiled(folder, compiler="clang++", again=False):
    """The precompiled header of HEADERS in `folder`, built if missing (whole, then
    renamed), or `again` (one that clang no longer takes: a header it names changed);
    its name follows the compiler's version, which must match the parse's."""
    version = subprocess.run([compiler, "--version"], capture_output=True, text=True,
                             check=True).stdout
    key = hashlib.sha256((version + " ".join((EVERYTHING,) + HEADERS + tuple(FLAGS))).encode()
                         ).hexdigest()
    pch = os.path.join(folder, f"headers-{key[:12]}.pch")
    if os.path.exists(pch) and not again:
        return pch
    os.makedirs(folder, exist_ok=True)
    # The header is never written again once there: the precompiled header checks
    # that it has not changed.
    header = os.path.join(folder, f"headers-{key[:12]}.hpp")
    mine = f".{os.getpid()}.new"  # two checks may make them at once: each its own
    if not os.path.exists(header):
        with open(header + mine, "w") as f:
            f.write(f"#if __has_include(<{EVERYTHING}>)\n#include <{EVERYTHING}>\n#endif\n"
                    + "".join(f"#include <{h}>\n" for h in HEADERS))
        try:
            os.link(header + mine, header)  # never over one a header was built from
        except FileExistsError:
            pass
        os.remove(header + mine)
    try:
        subprocess.run([compiler] + FLAGS + ["-x", "c++-header", header, "-o", pch + mine],
                       check=True, capture_output=True)
        os.replace(pch + mine, pch)
    finally:
        if os.path.exists(pch + mine):
            os.remove(pch + mine)
    return pch


def usable(pch, compiler="clang++"):
    """Whether clang takes the precompiled header (an empty file parsed with it)."""
    done = subprocess.run([compiler] + FLAGS + ["-include-pch", pch, "-fsyntax-only",
                                                "-x", "c++", os.devnull], capture_output=True)
    return done.returncode == 0


def parse_argv(source, pch, compiler="clang++"):
    """The command that dumps the AST of `source` as JSON on standard output."""
    return [compiler] + FLAGS + ["-include-pch", pch, "-fsyntax-only", "-w",
                                 "-Xclang", "-ast-dump=json", source]


def parse(path, pch, keep=None):
    """The facts of a trusted file (a lesson, a test's own file), parsed directly; with
    `keep`, a folder where the facts of each content are kept and read again."""
    with open(path, "rb") as f:
        content = f.read()
    kept = os.path.join(keep, "facts-" + hashlib.sha256(
        content + path.encode() + pch.encode()).hexdigest()[:16] + ".json") if keep else None
    if kept and os.path.exists(kept):
        with open(kept) as f:
            return json.load(f)
    done = subprocess.run(parse_argv(path, pch), capture_output=True)
    facts = read(done.stdout, content, path)
    if kept and facts is not None:
        os.makedirs(keep, exist_ok=True)
        mine = f"{kept}.{os.getpid()}.new"
        with open(mine, "w") as f:
            json.dump(facts, f)
        os.replace(mine, kept)
    return facts


# -- reading the dump ---------------------------------------------------------------

def read(dump, content, path):
    """The facts of the file `path` (its bytes `content`) in clang's JSON dump, or None
    when the dump holds none (the parse failed, or the output was cut)."""
    try:
        tree = json.loads(dump)
    except (ValueError, RecursionError):
        return None
    if not isinstance(tree, dict) or tree.get("kind") != "TranslationUnitDecl":
        return None
    reader = Reader(content, path)
    try:
        for node in tree.get("inner", []):
            reader.walk(node, Context())
    except RecursionError:  # code nested deeper than any lesson: no facts, no guesses
        return None
    return reader.facts


class Context:
    """Where a node sits: its function, the directives around it (innermost last),
    whether its facts are recorded (not for the compiler's copies of a statement)."""

    def __init__(self, function=None, directives=(), record=True, in_stream=False):
        self.function, self.directives, self.record = function, tuple(directives), record
        self.in_stream = in_stream  # inside a chain of << already counted

    def but(self, **changes):
        c = Context(self.function, self.directives, self.record, self.in_stream)
        c.__dict__.update(changes)
        return c


class Reader:
    def __init__(self, content, path):
        self.content, self.path = content, path
        self.starts = [0] + [m.end() for m in re.finditer(rb"\n", content)]
        self.file = None  # the dump names a file only where it changes
        self.seen = set()
        self.facts = {"functions": {}, "variables": {}, "directives": [], "writes": [],
                      "uses": [], "calls": [], "streams": [], "loops": [],
                      "threadprivate": []}

    # Locations: each node's place in this file, as (offset, line), or None elsewhere.
    def bare(self, loc):
        if "file" in loc:
            self.file = loc["file"]
        if "offset" not in loc or self.file != self.path:
            return None
        return loc["offset"]

    def place(self, loc):
        if not isinstance(loc, dict) or not loc:
            return None
        if "spellingLoc" in loc:
            self.bare(loc["spellingLoc"])
            return self.bare(loc.get("expansionLoc", {}))
        return self.bare(loc)

    def spelled(self, loc):
        """Where a location is spelled (a macro's body, for a pragma made by one)."""
        if isinstance(loc, dict) and "spellingLoc" in loc:
            return loc["spellingLoc"].get("offset") if self.file == self.path else None
        return None

    def line(self, offset):
        return bisect.bisect_right(self.starts, offset) if offset is not None else None

    def locate(self, node):
        """(begin offset, end offset, spelled begin offset) of a node, reading its
        locations in the dump's order."""
        at = self.place(node.get("loc"))
        rng = node.get("range") or {}
        begin_loc = rng.get("begin") or {}
        begin = self.place(begin_loc)
        spelled = self.spelled(begin_loc)
        end = self.place(rng.get("end"))
        return (begin if begin is not None else at), end, spelled

    # The walk.
    def walk(self, node, ctx):
        if not isinstance(node, dict):
            return
        begin, end, spelled = self.locate(node)
        kind = node.get("kind", "")
        if node.get("id") in self.seen:
            ctx = ctx.but(record=False)
        elif "id" in node:
            self.seen.add(node["id"])
        record = ctx.record and begin is not None
        inner = node.get("inner", [])
        if kind in FUNCTIONS and record and any(
                c.get("kind") == "CompoundStmt" for c in inner):
            self.function(node, begin, end)
            ctx = ctx.but(function=node["name"])
        elif kind in ("FunctionTemplateDecl", "ClassTemplateDecl"):
            # The template as written, then the compiler's instantiations of it: read
            # once, as written.
            pattern = next((c for c in inner if c.get("kind") in FUNCTIONS + (
                "CXXRecordDecl",)), None)
            for child in inner:
                instance = child is not pattern and child.get("kind") in FUNCTIONS + (
                    "ClassTemplateSpecializationDecl",)
                self.walk(child, ctx.but(record=False) if instance else ctx)
            return
        elif kind == "OMPThreadPrivateDecl" and record:
            for ref in self.references(node):
                self.facts["threadprivate"].append(ref["id"])
        elif kind in ("VarDecl", "ParmVarDecl") and record and "name" in node:
            self.variable(node, begin, ctx)
        elif kind.startswith("OMP") and kind.endswith("Directive"):
            self.directive(node, begin, end, spelled, ctx, record)
            return
        elif kind == "CapturedStmt":
            for k, child in enumerate(inner):  # after the body: the captures, not uses
                self.walk(child, ctx if k == 0 else ctx.but(record=False))
            return
        elif kind == "CapturedDecl":
            for k, child in enumerate(inner):  # after the body: the compiler's copies
                self.walk(child, ctx if k == 0 else ctx.but(record=False))
            return
        elif record and kind in ("BinaryOperator", "CompoundAssignOperator",
                                 "UnaryOperator") and node.get("opcode") in UPDATES:
            self.write(node, begin, ctx)
        elif record and kind == "CXXOperatorCallExpr":
            if self.operator_call(node, begin, ctx):
                ctx = ctx.but(in_stream=True)
        elif record and kind in ("CallExpr", "CXXMemberCallExpr"):
            self.call(node, begin, ctx)
        elif record and kind == "DeclRefExpr":
            ref = node.get("referencedDecl", {})
            if ref.get("kind") in ("VarDecl", "ParmVarDecl"):
                self.facts["uses"].append(self.at(begin, ctx, var=ref["id"], name=ref["name"]))
        elif record and kind in ("ForStmt", "WhileStmt", "DoStmt", "CXXForRangeStmt"):
            self.loop(node, kind, begin, end, ctx)
        for child in inner:
            self.walk(child, ctx)

    def at(self, offset, ctx, **fact):
        return dict(fact, line=self.line(offset), offset=offset, function=ctx.function,
                    directives=list(ctx.directives))

    def function(self, node, begin, end):
        params = [{"id": p["id"], "name": p.get("name", ""),
                   "reference": "&" in p.get("type", {}).get("qualType", "")
                   or "*" in p.get("type", {}).get("qualType", "")}
                  for p in node.get("inner", []) if p.get("kind") == "ParmVarDecl"]
        self.facts["functions"][node["name"]] = {
            "id": node.get("id"), "line": self.line(begin), "begin": begin, "end": end,
            "params": params}

    def variable(self, node, begin, ctx):
        self.facts["variables"][node["id"]] = {
            "name": node["name"], "line": self.line(begin), "offset": begin,
            "type": node.get("type", {}).get("qualType", ""), "function": ctx.function,
            "static": node.get("storageClass") == "static",
            "parameter": node.get("kind") == "ParmVarDecl",
            "initialised": "init" in node, "directives": list(ctx.directives)}

    def directive(self, node, begin, end, spelled, ctx, record):
        words = re.findall(r"[A-Z][a-z]+", node["kind"][3:-len("Directive")])
        index = len(self.facts["directives"])
        text = self.pragma_text(spelled if spelled is not None else begin)
        inner = node.get("inner", [])
        body = next((c for c in inner if c.get("kind")), None)
        clauses = [c for c in inner if not c.get("kind")]
        named = {}
        for clause in clauses:
            for ref in self.references(clause):
                named.setdefault(ref["name"], []).append(ref["id"])
            self.walk(clause, ctx.but(record=False))  # for the locations' sake
        kinds = {}
        for word, names in CLAUSE.findall(text):
            if word in ("reduction", "linear") and ":" in names:
                names = names.split(":", 1)[1] if word == "reduction" else names.split(":")[0]
            for name in names.split(","):
                m = re.match(r"\s*([A-Za-z_]\w*)", name)  # arr[:4] is arr
                for var in named.get(m.group(1) if m else "", []):
                    kinds.setdefault(var, [])
                    if word not in kinds[var]:
                        kinds[var].append(word)
        fact = {"kind": " ".join(w.lower() for w in words), "line": self.line(begin),
                "text": text, "clauses": kinds, "function": ctx.function,
                "parents": list(ctx.directives), "begin": begin, "end": end,
                "body_begin": None, "body_end": None, "body_lines": [None, None]}
        if record:
            self.facts["directives"].append(fact)
        inside = ctx.but(directives=ctx.directives + ((index,) if record else ()))
        if body is not None:
            self.walk(body, inside)
            fact["body_begin"], fact["body_end"] = self.first_statement(body)
            fact["body_lines"] = [self.line(fact["body_begin"]), self.line(fact["body_end"])]

    def first_statement(self, body):
        """(begin, end) offsets of the statement a directive applies to."""
        node = body
        while node.get("kind") in ("CapturedStmt", "CapturedDecl") and node.get("inner"):
            node = node["inner"][0]
        rng = node.get("range") or {}
        b = rng.get("begin", {})
        e = rng.get("end", {})
        b = b.get("expansionLoc", b)
        e = e.get("expansionLoc", e)
        return b.get("offset"), e.get("offset")

    def pragma_text(self, offset):
        """The directive as written: from its '#' (or its _Pragma) to the end of the
        line, with continued lines joined and comments left out."""
        if offset is None:
            return ""
        text, k = b"", offset
        while k < len(self.content):
            end = self.content.find(b"\n", k)
            end = len(self.content) if end < 0 else end
            piece = self.content[k:end]
            if piece.rstrip().endswith(b"\\"):
                text += piece.rstrip()[:-1] + b" "
                k = end + 1
                continue
            text += piece
            break
        words = text.decode(errors="replace")
        m = re.match(r'\s*_Pragma\s*\(\s*"((?:[^"\\]|\\.)*)"', words)
        if m:
            words = m.group(1).replace('\\"', '"')
        words = re.sub(r"/\*.*?\*/|//.*", " ", words)
        return " ".join(words.split())

    @staticmethod
    def references(node):
        found, stack = [], [node]
        while stack:
            n = stack.pop()
            if not isinstance(n, dict):
                continue
            ref = n.get("referencedDecl") if n.get("kind") == "DeclRefExpr" else None
            if ref and ref.get("kind") in ("VarDecl", "ParmVarDecl"):
                found.append(ref)
            stack.extend(n.get("inner", []))
        return found

    def write(self, node, begin, ctx):
        inner = node.get("inner", [])
        if inner:
            self.store(begin, ctx, node["opcode"], inner[0], inner[1:])

    def store(self, begin, ctx, op, stored, operands):
        """The fact of a store by `op` to the expression `stored`, of the value the
        `operands` make: what it stores to, what the right side reads, whether it is an
        update (it reads what it stores to)."""
        var, name, element = target(stored)
        if var is None:
            return
        read = {r["id"] for child in operands for r in self.references(child)}
        self.facts["writes"].append(self.at(
            begin, ctx, var=var, name=name, op=op, element=element, reads=sorted(read),
            update=op != "=" or var in read, atomic_type="atomic<" in type_of(stored)))

    def operator_call(self, node, begin, ctx):
        inner = node.get("inner", [])
        callee = callee_name(inner[0]) if inner else ""
        op = callee[len("operator"):] if callee.startswith("operator") else ""
        if op in UPDATES and len(inner) > 1:
            self.store(begin, ctx, op, inner[1], inner[2:])
        elif op == "<<" and not ctx.in_stream:
            count, first, ends = 0, node, False
            while first.get("kind") == "CXXOperatorCallExpr" and \
                    callee_name(first["inner"][0]) == "operator<<" and len(first["inner"]) > 2:
                count += 1
                ends = ends or ends_line(first["inner"][2])
                first = first["inner"][1]
            stream = next((r["name"] for r in self.references(first)), "")
            stream = stream or next((n for n in names_in(first)), "")
            self.facts["streams"].append(self.at(begin, ctx, writes=count, stream=stream,
                                                 ends_line=ends))
            return True
        return False

    def call(self, node, begin, ctx):
        inner = node.get("inner", [])
        if not inner:
            return
        callee = callee_name(inner[0])
        args = [argument(a) for a in inner[1:]]
        self.facts["calls"].append(self.at(begin, ctx, callee=callee, args=args))

    def loop(self, node, kind, begin, end, ctx):
        inner = node.get("inner", [])
        counter, declared = None, False
        if kind == "ForStmt" and inner:
            first = inner[0]
            if first.get("kind") == "DeclStmt":
                decl = next((d for d in first.get("inner", []) if d.get("kind") == "VarDecl"),
                            None)
                counter, declared = (decl["id"] if decl else None), True
            elif first.get("kind") == "BinaryOperator" and first.get("opcode") == "=":
                counter = target(first["inner"][0])[0]
        self.facts["loops"].append(self.at(begin, ctx, kind=kind, end=end, counter=counter,
                                           declared=declared))


def strip(node):
    while node.get("kind") in ("ImplicitCastExpr", "ParenExpr", "MaterializeTemporaryExpr",
                               "CXXBindTemporaryExpr", "ExprWithCleanups") and node.get("inner"):
        node = node["inner"][0]
    return node


def target(node):
    """(variable id, name, whether an element of it) that an expression stores to."""
    node, element = strip(node), False
    while True:
        kind = node.get("kind")
        if kind == "DeclRefExpr":
            ref = node.get("referencedDecl", {})
            if ref.get("kind") in ("VarDecl", "ParmVarDecl"):
                return ref["id"], ref["name"], element
            return None, None, element
        if kind == "ArraySubscriptExpr" or kind == "UnaryOperator" and node.get("opcode") == "*":
            element, node = True, strip(node["inner"][0])
        elif kind == "MemberExpr":
            element, node = True, strip(node["inner"][0])
        elif kind == "CXXOperatorCallExpr" and callee_name(node["inner"][0]) == "operator[]":
            element, node = True, strip(node["inner"][1])
        else:
            return None, None, element


def type_of(node):
    return strip(node).get("type", {}).get("qualType", "")


def callee_name(node):
    node = strip(node)
    if node.get("kind") == "DeclRefExpr":
        return node.get("referencedDecl", {}).get("name", "")
    if node.get("kind") == "MemberExpr":
        return node.get("name", "")
    return ""


def names_in(node):
    stack = [node]
    while stack:
        n = stack.pop()
        if isinstance(n, dict):
            if n.get("kind") == "DeclRefExpr":
                yield n.get("referencedDecl", {}).get("name", "")
            stack.extend(n.get("inner", []))


def ends_line(node):
    """Whether what a << writes ends a line: a newline, or std::endl."""
    node = strip(node)
    kind = node.get("kind")
    if kind == "StringLiteral":
        return literal(node.get("value", "")).endswith("\\n")
    if kind == "CharacterLiteral":
        return node.get("value") == 10
    return "endl" in names_in(node) or callee_name(node) == "endl"


def argument(node):
    """What a call is given: a variable (or its address), a number, a string."""
    node = strip(node)
    address = node.get("kind") == "UnaryOperator" and node.get("opcode") == "&"
    if address:
        node = strip(node["inner"][0])
        var, name, _ = target(node)  # &x, &a[0], &s.member: the variable itself
        if var is not None:
            return {"var": var, "name": name, "address": True, "type": type_of(node)}
    if node.get("kind") == "DeclRefExpr":
        ref = node.get("referencedDecl", {})
        if ref.get("kind") in ("VarDecl", "ParmVarDecl"):
            return {"var": ref["id"], "name": ref["name"], "address": address,
                    "type": ref.get("type", {}).get("qualType", "")}
    if node.get("kind") == "IntegerLiteral":
        return {"number": int(node.get("value", "0"))}
    if node.get("kind") == "StringLiteral":
        return {"string": literal(node.get("value", ""))}
    return {}


def literal(value):
    """A string literal's text as written between its quotes."""
    return value[1:-1] if len(value) >= 2 and value[0] == value[-1] == '"' else value


# -- the questions asked of the facts ------------------------------------------------

class Model:
    """Questions about one file's facts. Lines count from 1."""

    def __init__(self, facts):
        self.facts = facts
        self.functions = facts["functions"]
        self.variables = facts["variables"]
        self.directives = facts["directives"]
        self.regions = [k for k, d in enumerate(self.directives) if "parallel" in d["kind"]]
        self.calls_to = {}  # function -> the calls of it
        for call in facts["calls"]:
            self.calls_to.setdefault(call["callee"], []).append(call)
        self.called_from = self._called_from()
        # Answers per function, each worked out once: a file of helpers that call each
        # other many times must not cost exponential time.
        self._kinds, self._bound, self._reached = {}, {}, {}

    # Where things run.
    def region_of(self, fact):
        """The innermost parallel region a fact runs in: around it, or around a call of
        its function (the first such call); None in serial code."""
        inside = [k for k in fact["directives"] if k in self.regions]
        if inside:
            return inside[-1]
        return self.called_from.get(fact["function"])

    def _called_from(self):
        """function -> the region one of its calls runs in, through helpers."""
        found, changed = {}, True
        while changed:
            changed = False
            for call in self.facts["calls"]:
                if call["callee"] not in self.functions or call["callee"] in found:
                    continue
                inside = [k for k in call["directives"] if k in self.regions]
                region = inside[-1] if inside else found.get(call["function"])
                if region is not None:
                    found[call["callee"]] = region
                    changed = True
        return found

    def protected(self, fact):
        """Whether a store is one indivisible step: an atomic update or write, in a
        critical section, or on a std::atomic."""
        if fact.get("atomic_type"):
            return True
        kinds = self.kinds_around(fact)
        return "critical" in kinds or any(
            self.directives[k]["kind"] == "atomic" and not re.search(
                r"\batomic\s+read\b", self.directives[k]["text"])
            for k in fact["directives"])

    def kinds_around(self, fact):
        """The kinds of the directives a fact runs in: around it, and around any call
        of its function (through helpers)."""
        return {self.directives[k]["kind"] for k in fact["directives"]} | \
            self._kinds_of(fact["function"])

    def _kinds_of(self, function):
        if not function or function == "main":
            return set()
        if function not in self._kinds:
            self._kinds[function] = set()  # a recursive call adds nothing new
            found = set()
            for call in self.calls_to.get(function, []):
                found |= {self.directives[k]["kind"] for k in call["directives"]}
                found |= self._kinds_of(call["function"])
            self._kinds[function] = found
        return self._kinds[function]

    # Variables.
    def resolved(self, var, fact):
        """(variable, the fact where it is used) that `var`, used by `fact`, stands for:
        a reference (or pointer) parameter of a helper called from a region stands for
        what each call gives it; any other variable for itself."""
        if any(k in self.regions for k in fact["directives"]):
            return [(var, fact)]  # the region is the function's own: a variable of it
        bound = self._bound_to(var)
        return bound if bound else [(var, fact)]

    def _bound_to(self, var):
        """(variable, call) pairs a reference parameter stands for, through helpers;
        [] for any other variable."""
        if var in self._bound:
            return self._bound[var]
        self._bound[var] = []  # a recursive helper: its own parameter adds nothing
        v = self.variables.get(var)
        function = self.functions.get(v["function"]) if v and v["parameter"] else None
        k = next((i for i, p in enumerate(function["params"]) if p["id"] == var), None) \
            if function else None
        found, seen = [], set()
        if k is not None and function["params"][k]["reference"]:
            for call in self.calls_to.get(v["function"], []):
                if k < len(call["args"]) and "var" in call["args"][k]:
                    for pair in self.resolved(call["args"][k]["var"], call):
                        if (pair[0], pair[1]["offset"]) not in seen:
                            seen.add((pair[0], pair[1]["offset"]))
                            found.append(pair)
        self._bound[var] = found
        return found

    def reached(self, function):
        """(region, offset in `function`) of each region that `function` runs: its own,
        and those of the helpers it calls, at the call."""
        if function in self._reached:
            return self._reached[function]
        self._reached[function] = []  # recursion: what it reaches is found once
        found = [(k, self.directives[k]["begin"]) for k in self.regions
                 if self.directives[k]["function"] == function
                 and not any(p in self.regions for p in self.directives[k]["parents"])]
        inner = {}
        for call in self.facts["calls"]:
            if call["function"] == function and call["callee"] in self.functions:
                for k, _ in self.reached(call["callee"]):
                    inner.setdefault(k, call["offset"])  # at the first call that reaches it
        found += [(k, at) for k, at in inner.items() if k not in {f for f, _ in found}]
        self._reached[function] = found
        return found

    def clause_of(self, var, fact):
        """The data-sharing clauses that name `var` on the innermost directive around
        `fact` that names it (a list: lastprivate and firstprivate may both)."""
        for k in reversed(fact["directives"]):
            kinds = self.directives[k]["clauses"].get(var)
            if kinds:
                return kinds
        return []

    def own(self, var, fact):
        """Whether a clause gives each thread its own `var`."""
        return any(kind != "shared" for kind in self.clause_of(var, fact))

    def shared(self, var, fact):
        """Whether `var`, used by `fact` in a parallel region, is the team's one
        variable: not declared in the region, nor a local of a helper it calls, nor made
        each thread's own by a clause or by being the counter of a divided loop."""
        region = self.region_of(fact)
        v = self.variables.get(var)
        if region is None or v is None or var in self.facts["threadprivate"]:
            return False
        if region in v["directives"] and not v["static"]:
            return False  # declared inside the region
        if self.own(var, fact) or var in self.divided_counters(fact):
            return False
        if v["function"] is None or v["static"]:
            return True
        return v["function"] == self.directives[region]["function"]  # else a helper's own

    def divided_counters(self, fact):
        """The counters of the loops that directives around `fact` divide: the loop
        each applies to, and with collapse(n) the n - 1 loops nested in it."""
        counters = set()
        loops = sorted(self.facts["loops"], key=lambda loop: loop["offset"] or 0)
        for k in fact["directives"]:
            d = self.directives[k]
            if not any(word in d["kind"].split() for word in LOOPS):
                continue
            m = re.search(r"\bcollapse\s*\(\s*(\d+)\s*\)", d["text"])
            deep = int(m.group(1)) if m else 1
            nested = [loop for loop in loops if loop["offset"] is not None
                      and d["body_begin"] is not None and d["body_end"] is not None
                      and d["body_begin"] <= loop["offset"] <= d["body_end"]]
            counters |= {loop["counter"] for loop in nested[:deep]}
        return counters

    def name(self, var):
        return self.variables.get(var, {}).get("name", "")

    # Lookups by line.
    def writes_at(self, line):
        return [w for w in self.facts["writes"] if w["line"] == line]

    def uses_at(self, line):
        return [u for u in self.facts["uses"] if u["line"] == line]

    def calls_of(self, *names):
        return [c for c in self.facts["calls"] if c["callee"] in names]

    def printfs(self):
        """The calls of printf with a literal format, each with its format."""
        return [dict(c, format=c["args"][0]["string"]) for c in self.calls_of("printf")
                if c["args"] and "string" in c["args"][0]]

    def with_kind(self, *kinds):
        return [d for d in self.directives if d["kind"] in kinds]
