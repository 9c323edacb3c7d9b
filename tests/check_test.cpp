// What a student runs to be judged: ./tour --check rejects every exercise by the family
// its header names and accepts the lesson the exercise must become; and the tour's own
// build recovers from a failed first configuration and stops when it cannot write. Slow
// (each check builds the program under the race detector and the memory checkers), so it
// has its own label (ctest -L check).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "child.hpp"
#include "suite_config.hpp"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

struct Exercise {
  std::string lesson, name, family;  // lesson and family are empty if the header lacks them
};

// Printed as the lesson first, as every case of the suite names its program first.
std::ostream& operator<<(std::ostream& os, const Exercise& e) {
  return os << e.lesson << " exercise=" << e.name << " family=" << e.family;
}

std::vector<Exercise> exercises() {
  const std::regex check_line(R"(^// Check it: \./tour --check (\w+) exercises/(\w+)\.cpp$)");
  const std::regex family(R"(Caught by: (behaviour|races|memory)\b)");
  std::vector<Exercise> found;
  for (const auto& entry :
       fs::directory_iterator(fs::path(suite::config::kSourceDir) / "exercises")) {
    if (entry.path().extension() != ".cpp") continue;
    Exercise e;
    e.name = entry.path().stem();
    std::ifstream in(entry.path());
    std::smatch m;
    for (std::string line; std::getline(in, line) && line.rfind("//", 0) == 0;) {
      if (std::regex_search(line, m, check_line) && m[2] == e.name) e.lesson = m[1];
      if (std::regex_search(line, m, family)) e.family = m[1];
    }
    found.push_back(e);
  }
  std::sort(found.begin(), found.end(),
            [](const Exercise& a, const Exercise& b) { return a.name < b.name; });
  return found;
}

suite::Result check(const Args& args) {
  suite::Launch l;
  l.path = std::string(suite::config::kSourceDir) + "/tour";
  l.args = {"--check"};
  l.args.insert(l.args.end(), args.begin(), args.end());
  l.cwd = suite::config::kSourceDir;
  l.timeout_s = 900;  // the first check builds the check's trees
  return suite::run(l);
}

bool says(const std::string& out, const std::string& family, const std::string& verdict) {
  return std::regex_search(out, std::regex("(^|\n)" + family + " +" + verdict + ":"));
}

class Exercises : public ::testing::TestWithParam<Exercise> {};

TEST_P(Exercises, RejectedByItsFamilyWhileTheLessonIsAccepted) {
  const Exercise& e = GetParam();
  ASSERT_FALSE(e.lesson.empty() || e.family.empty())
      << "exercises/" << e.name << ".cpp: its header needs a 'Caught by: FAMILY' and a "
      << "'Check it: ./tour --check LESSON exercises/" << e.name << ".cpp' line";
  suite::Result bad = check({e.lesson, "exercises/" + e.name + ".cpp", "--family", e.family});
  EXPECT_EQ(bad.exit_code, 1) << bad.out << bad.err;
  EXPECT_TRUE(says(bad.out, e.family, "failed")) << bad.out << bad.err;

  suite::Result good = check({e.lesson});
  EXPECT_EQ(good.exit_code, 0) << good.out << good.err;
  for (const char* family : {"behaviour", "races", "memory"})
    EXPECT_TRUE(says(good.out, family, "passed")) << family << "\n" << good.out << good.err;
}

INSTANTIATE_TEST_SUITE_P(Table, Exercises, ::testing::ValuesIn(exercises()),
                         [](const auto& info) { return info.param.name; });

TEST(Exercises, AtLeastEightCoverEveryFamily) {
  std::set<std::string> families;
  for (const Exercise& e : exercises()) families.insert(e.family);
  EXPECT_GE(exercises().size(), 8u);
  EXPECT_EQ(families, (std::set<std::string>{"behaviour", "memory", "races"}));
}

// A student's file in a folder of its own, removed at the end.
class StudentFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/student_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { fs::remove_all(dir); }

  // Writes `text` as the student's file, `age` seconds old.
  std::string write(const std::string& text, int age = 0) {
    std::string path = dir / "mine.cpp";
    std::ofstream(path) << text;
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(age));
    return path;
  }
  static std::string read(const std::string& relative) {
    std::ifstream in(fs::path(suite::config::kSourceDir) / relative);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  fs::path dir;
};

// A file put in place with an older time (mv, cp -p, a tar) is judged as it is now, not
// by what an earlier check compiled.
TEST_F(StudentFile, IsJudgedAsItIsWhateverItsTime) {
  std::string path = write(read("partial_sums/shared_accumulator.cpp"));
  suite::Result good = check({"shared_accumulator", path, "--family", "races"});
  EXPECT_EQ(good.exit_code, 0) << good.out << good.err;
  write(read("exercises/lost_adds.cpp"), 3600);
  suite::Result bad = check({"shared_accumulator", path, "--family", "races"});
  EXPECT_EQ(bad.exit_code, 1) << bad.out << bad.err;
  EXPECT_TRUE(says(bad.out, "races", "failed")) << bad.out;
}

// A program that never ends fails, in the time of one deadline, not one per case.
TEST_F(StudentFile, ThatNeverEndsFails) {
  std::string text = read("greetings/greet_ids.cpp");
  text.replace(text.rfind("return 0;"), 9, "for (;;) {\n  }");
  suite::Result r = check({"greet_ids", write(text)});
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_TRUE(says(r.out, "behaviour", "failed")) << r.out;
  EXPECT_NE(r.out.find("did not end"), std::string::npos) << r.out;
  EXPECT_TRUE(says(r.out, "races", "not checked")) << r.out;
}

// What a program forks ends with it, and never holds the check open.
TEST_F(StudentFile, ThatForksIsJudgedAndLeavesNothing) {
  std::string text = read("greetings/greet_ids.cpp");
  text.insert(text.find("int main"), "#include <unistd.h>\n");
  text.replace(text.rfind("return 0;"), 9,
               "std::fflush(stdout);\n  if (fork() == 0) pause();\n  return 0;");
  suite::Result r = check({"greet_ids", write(text), "--family", "behaviour"});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

// A copy of the source tree without its builds, to try the tour's own build on.
class TourCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tour_copy_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    for (const auto& entry : fs::directory_iterator(suite::config::kSourceDir)) {
      std::string name = entry.path().filename();
      if (name != "build" && name != ".git")
        fs::copy(entry.path(), dir / name, fs::copy_options::recursive);
    }
  }
  void TearDown() override { fs::remove_all(dir); }

  suite::Result tour(const Args& args, const suite::Env& env) {
    suite::Launch l;
    l.path = dir / "tour";
    l.args = args;
    l.env = env;
    l.timeout_s = 600;
    return suite::run(l);
  }
  fs::path dir;
};

size_t lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

TEST_F(TourCopy, RecoversFromAFailedFirstBuild) {
  suite::Result failed = tour({"greet_ids"}, {{"CXX", "/bin/false"}});
  EXPECT_NE(failed.exit_code, 0);
  EXPECT_EQ(failed.out.find("Hola"), std::string::npos) << "a program ran without a build";
  EXPECT_NE(failed.err.find("tour: the programs cannot be configured: The C++ compiler"),
            std::string::npos)
      << failed.err;

  suite::Result fixed = tour({"greet_ids"}, {{"CXX", suite::config::kCxxCompiler}});
  ASSERT_EQ(fixed.exit_code, 0) << fixed.err;
  EXPECT_NE(fixed.out.find("Hola, soy el hilo: 0"), std::string::npos) << fixed.out;
}

TEST_F(TourCopy, StopsInOneLineWhenItCannotWriteItsBuild) {
  std::ofstream(dir / "build") << "a file where the build directory should be\n";
  suite::Result r = tour({"greet_ids"}, {});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_EQ(lines(r.err), 1u) << r.err;
}

}  // namespace
