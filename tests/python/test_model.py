"""The compiler's reading of a file, shape by shape: each row is a small file written the
way students restructure a lesson, and what the model must find in it: the regions
(line, function, clauses), every store but the loops' own counting (line, the variable
it stands for, whether the team shares it, whether it is one indivisible step), and
every printf (line, whether it runs in a region)."""
import os
import shutil
import tempfile
import unittest

from support import ROOT
from tourlib.check import model

HEAD = "#include <cstdio>\n#include <vector>\n#include <omp.h>\n"

# (shape, code after HEAD (line 4 on), regions, stores, printfs)
SHAPES = [
    ("a pragma continued on the next line", """\
int main() {
  int t = 0, s = 0;
#pragma omp parallel \\
    private(t)
  {
    t = omp_get_thread_num();
#pragma omp atomic
    s += t;
  }
  std::printf("%d\\n", s);
}""", [(6, "main", {"t": ["private"]})], [(9, "t", False, False), (11, "s", True, True)],
     [(13, False)]),
    ("_Pragma in a macro", """\
#define PARALLEL_SUM _Pragma("omp parallel for reduction(+:s)")
int main() {
  long s = 0;
  PARALLEL_SUM
  for (int i = 0; i < 10; i++) s += i;
  std::printf("%ld\\n", s);
}""", [(7, "main", {"s": ["reduction"]})], [(8, "s", False, False)], [(9, False)]),
    ("a helper above main declaring the same name", """\
void helper() { int tid = 3; tid += 1; std::printf("%d\\n", tid); }
int main() {
#pragma omp parallel
  {
    int tid = omp_get_thread_num();
    tid = tid * 2;
    std::printf("%d\\n", tid);
  }
  helper();
}""", [(6, "main", {})], [(4, "tid", False, False), (9, "tid", False, False)],
     [(4, False), (10, True)]),
    ("a region in a function above main", """\
void work(int *a) {
#pragma omp parallel for
  for (int i = 0; i < 8; i++) a[i] = i;
}
int main() {
  int a[8];
  omp_set_num_threads(2);
  work(a);
  std::printf("%d\\n", a[7]);
}""", [(5, "work", {})], [(6, "a", True, False)], [(12, False)]),
    ("a one-line loop, then a line after the region", """\
int main() {
  int a[8];
#pragma omp parallel for
  for (int i = 0; i < 8; i++) a[i] = i;
  std::printf("%d\\n", a[0]);
}""", [(6, "main", {})], [(7, "a", True, False)], [(8, False)]),
    ("a loop header over several lines", """\
int main() {
  int total = 0;
#pragma omp parallel for
  for (int i = 0;
       i < 8;
       i++)
    total += i;
  std::printf("%d\\n", total);
}""", [(6, "main", {})], [(10, "total", True, False)], [(11, False)]),
    ("a character literal brace in the region", """\
int main() {
  char c = ' ';
#pragma omp parallel
  {
    char mine = '{';
    if (mine == '}') std::printf("%c\\n", c);
  }
  std::printf("done\\n");
}""", [(6, "main", {})], [], [(9, True), (11, False)]),
    ("std::size_t, unsigned and std::vector", """\
int main() {
  std::vector<long> v(8);
  unsigned count = 0;
#pragma omp parallel for
  for (std::size_t k = 0; k < v.size(); ++k) {
    v[k] = static_cast<long>(k);
    count++;
  }
  std::printf("%u\\n", count);
}""", [(7, "main", {})], [(9, "v", True, False), (10, "count", True, False)], [(12, False)]),
    ("an update behind an if", """\
int main() {
  int total = 0;
#pragma omp parallel
  {
    int me = omp_get_thread_num();
    if (me % 2 == 0) total += me;
  }
  std::printf("%d\\n", total);
}""", [(6, "main", {})], [(9, "total", True, False)], [(11, False)]),
    ("an update in a helper, by reference", """\
static void add(long &into, long what) {
#pragma omp atomic
  into += what;
}
int main() {
  long total = 0;
#pragma omp parallel
  add(total, omp_get_thread_num());
  std::printf("%ld\\n", total);
}""", [(10, "main", {})], [(6, "total", True, True)], [(12, False)]),
    ("a commented-out pragma and print", """\
int main() {
  int total = 0;
  // #pragma omp parallel
  /* std::printf("%d\\n", total); */
  for (int i = 0; i < 4; i++) total += i;
  std::printf("%d\\n", total);
}""", [], [(8, "total", False, False)], [(9, False)]),
    ("a while loop with a shared counter in a critical section", """\
int main() {
  int next = 0;
#pragma omp parallel
  while (true) {
    int mine;
#pragma omp critical
    mine = next++;
    if (mine >= 8) break;
  }
  std::printf("%d\\n", next);
}""", [(6, "main", {})], [(10, "mine", False, True), (10, "next", True, True)],
     [(13, False)]),
    ("a template instantiated twice, read once as written", """\
template <typename T> T total(const T *v, int n) {
  T sum = 0;
#pragma omp parallel for reduction(+ : sum)
  for (int i = 0; i < n; i++) sum += v[i];
  return sum;
}
int main() {
  int a[4] = {1, 2, 3, 4};
  long b[4] = {1, 2, 3, 4};
  std::printf("%d %ld\\n", total(a, 4), total(b, 4));
}""", [(6, "total", {"sum": ["reduction"]})], [(7, "sum", False, False)], [(13, False)]),
    ("an array section reduced, and two clauses on one variable", """\
int main() {
  int arr[4] = {0}, last = 0;
#pragma omp parallel for reduction(+ : arr[:4]) lastprivate(last) firstprivate(last)
  for (int i = 0; i < 8; i++) { arr[i % 4] += i; last = i; }
  std::printf("%d %d\\n", arr[0], last);
}""", [(6, "main", {"arr": ["reduction"], "last": ["lastprivate", "firstprivate"]})],
     [(7, "arr", False, False), (7, "last", False, False)], [(8, False)]),
]


def summary(m):
    counters = {loop["counter"] for loop in m.facts["loops"]}
    regions = [(m.directives[k]["line"], m.directives[k]["function"],
                {m.name(v): kind for v, kind in m.directives[k]["clauses"].items()})
               for k in m.regions]
    stores = sorted({(w["line"], m.name(var), m.shared(var, at), m.protected(w))
                     for w in m.facts["writes"] if w["var"] not in counters
                     for var, at in m.resolved(w["var"], w)})
    printfs = [(c["line"], m.region_of(c) is not None) for c in m.printfs()]
    return regions, stores, printfs


@unittest.skipIf(shutil.which("clang++") is None, "needs clang++ (apt-get install clang)")
class Shapes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp()
        cls.pch = model.precompiled(os.path.join(ROOT, "build", "check", "model"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    def read(self, code):
        path = os.path.join(self.scratch, "shape.cpp")
        with open(path, "w") as f:
            f.write(HEAD + code + "\n")
        facts = model.parse(path, self.pch)
        self.assertIsNotNone(facts, "clang gave no dump")
        return model.Model(facts)

    def test_each_shape_is_read_as_the_compiler_reads_it(self):
        for shape, code, regions, stores, printfs in SHAPES:
            with self.subTest(shape=shape):
                self.assertEqual(summary(self.read(code)), (regions, sorted(stores), printfs))

    def test_a_request_before_a_helper_that_opens_the_region_comes_before_it(self):
        m = self.read(SHAPES[3][1])
        request = m.calls_of("omp_set_num_threads")[0]
        self.assertTrue(all(at > request["offset"] for _, at in m.reached("main")))
        self.assertEqual(len(m.reached("main")), 1)

    def test_a_dump_that_is_not_clang_s_has_no_facts(self):
        deep = b'{"kind": "ParenExpr", "inner": [' * 600 + b"{}" + b"]}" * 600
        for dump in (b"", b"{", b"[]", b'{"kind": "Other"}', b"[" * 100000,
                     b'{"kind": "TranslationUnitDecl", "inner": [' + deep + b"]}"):
            with self.subTest(dump=dump[:10]):
                self.assertIsNone(model.read(dump, b"", "x.cpp"))


if __name__ == "__main__":
    unittest.main()
