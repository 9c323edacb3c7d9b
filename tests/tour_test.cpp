// The tour, end to end: selection, team size, errors, and plain output off a terminal.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "child.hpp"
#include "suite_config.hpp"

namespace {

// Runs ./tour on the programs of `build_dir` (this build's by default).
suite::Launch tour_launch(std::vector<std::string> args,
                          std::string build_dir = suite::config::kBuildDir) {
  suite::Launch l;
  l.path = std::string(suite::config::kSourceDir) + "/tour";
  l.args = std::move(args);
  l.env = {{"SUITE_BUILD_DIR", std::move(build_dir)}};
  return l;
}

suite::Result tour(std::vector<std::string> args,
                   std::string build_dir = suite::config::kBuildDir) {
  return suite::run(tour_launch(std::move(args), std::move(build_dir)));
}

// The programs the tour ran, from its headings, in order.
std::vector<std::string> headings(const std::string& out) {
  std::vector<std::string> names;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("== ", 0) == 0) names.push_back(line.substr(3, line.find(' ', 3) - 3));
  return names;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Tour, RunsEveryProgramInLessonOrderWithoutEscapeCodes) {
  suite::Result r = tour({});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(headings(r.out), suite::program_names());
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "escape codes in output to a pipe";
  for (const suite::Program& p : suite::programs())
    EXPECT_NE(r.out.find(p.lesson), std::string::npos) << p.name;
  EXPECT_NE(r.out.find("lines not shown"), std::string::npos)
      << "fill_then_square's output was not cut";
}

// cppcheck does not see the members read through GetParam().
struct Selection {
  std::vector<std::string> args;  // cppcheck-suppress unusedStructMember
  std::vector<std::string> ran;   // cppcheck-suppress unusedStructMember
};

class TourSelection : public ::testing::TestWithParam<Selection> {};

TEST_P(TourSelection, RunsWhatWasNamedInLessonOrder) {
  suite::Result r = tour(GetParam().args);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(headings(r.out), GetParam().ran);
}

INSTANTIATE_TEST_SUITE_P(
    Names, TourSelection,
    ::testing::Values(Selection{{"ranked_sum", "greet_ids"}, {"greet_ids", "ranked_sum"}},
                      Selection{{"serial"}, {"vector_formula", "serial_sum", "serial_sum_fifty"}},
                      Selection{{"environment/", "env_report"},
                                {"env_report", "env_report_eight"}}));

TEST(Tour, ThreadsSetsTheTeamSize) {
  suite::Result r = tour({"--threads", "3", "greet_ids"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(count(r.out, "Hola, soy el hilo: "), 3u);
  EXPECT_NE(r.out.find("$ OMP_NUM_THREADS=3 "), std::string::npos)
      << "the re-run command shows the team size";
}

TEST(Tour, ListAndExplain) {
  suite::Result list = tour({"--list"});
  ASSERT_EQ(list.exit_code, 0) << list.err;
  for (const suite::Program& p : suite::programs()) {
    EXPECT_NE(list.out.find(p.folder + "/\n"), std::string::npos) << p.folder;
    EXPECT_NE(list.out.find(p.name), std::string::npos) << p.name;
  }
  suite::Result explain = tour({"--explain", "fill_pairs_tagged"});
  ASSERT_EQ(explain.exit_code, 0) << explain.err;
  EXPECT_NE(explain.out.find("Try: OMP_NUM_THREADS=3"), std::string::npos) << explain.out;
}

class TourRejects : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(TourRejects, WithOneLineAndStatusTwo) {
  suite::Result r = tour(GetParam());
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
  EXPECT_EQ(r.err.rfind("tour: ", 0), 0u) << r.err;
}

using Args = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(
    Errors, TourRejects,
    ::testing::Values(
        Args{"no_such_program"}, Args{""}, Args{"--explain", "nope"}, Args{"--explain", ""},
        Args{"--threads", "0"}, Args{"--threads", "abc"}, Args{"--threads"}, Args{"--threads", ""},
        Args{"--bogus"}, Args{"--check"}, Args{"--check", "nope"},
        Args{"--check", "greet_ids", "/no/such/file.cpp"},
        Args{"--check", "greet_ids", "a.cpp", "b.cpp"},
        Args{"--check", "greet_ids", "--family", "speed"}, Args{"--family", "races"},
        Args{"lost_adds"},
        // One thing at a time, each option once.
        Args{"--check", "greet_ids", "--list"}, Args{"--list", "--explain", "x"},
        Args{"--explain", "lost_adds", "greet_ids"}, Args{"--threads", "3", "--list"},
        Args{"--family", "races", "--family", "memory", "--check", "greet_ids"},
        // A check needs a C++ source: a file, or a folder holding one (/dev holds
        // none). (An exercise's name checks its file as the lesson it becomes.)
        Args{"--check", "greet_ids", "/etc/hostname"}, Args{"--check", "greet_ids", "/dev"},
        // Grading, hints, timelines: each needs its names, --out its mode.
        Args{"--grade", "greet_ids"}, Args{"--out", "x", "greet_ids"}, Args{"--hint"},
        Args{"--hint", "greet_ids"}, Args{"--timeline"}, Args{"--json", "-", "greet_ids"},
        // A platform's format goes with --check, a score's scale with a grade or
        // Gradescope's format.
        Args{"--format", "github", "greet_ids"}, Args{"--check", "greet_ids", "--format", "xml"},
        Args{"--grade", "greet_ids", "--scale", "0", "x"},
        Args{"--check", "greet_ids", "--scale", "5"},
        // Watching and progress: a watch needs a program, --json is the
        // check's alone, --verbose a check's or a watch's.
        Args{"--watch"}, Args{"--watch", "nope"}, Args{"--watch", "greet_ids", "--json", "-"},
        Args{"--watch", "greet_ids", "--check", "greet_ids"}, Args{"--progress", "greet_ids"},
        Args{"--verbose"}, Args{"--next", "--list"}));

// Output that cannot be written is a failure, said in one line, whatever the mode.
class TourOutputLost : public ::testing::TestWithParam<Args> {};

TEST_P(TourOutputLost, FailsWithOneLine) {
  for (suite::Stdout mode : {suite::Stdout::DevFull, suite::Stdout::Closed}) {
    SCOPED_TRACE(mode == suite::Stdout::DevFull ? "stdout on /dev/full" : "stdout closed");
    suite::Launch l = tour_launch(GetParam());
    l.out = mode;
    suite::Result r = suite::run(l);
    EXPECT_NE(r.exit_code, 0) << r.err;
    EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("tour: ", 0), 0u) << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, TourOutputLost,
                         ::testing::Values(Args{"greet_ids"}, Args{"--list"},
                                           Args{"--explain", "greet_ids"},
                                           Args{"--explain", "lost_adds"}, Args{"--progress"}));

// The first path-like word after `prefix` on the first line that has it.
std::string path_after(const std::string& text, const std::string& prefix) {
  size_t at = text.find(prefix);
  if (at == std::string::npos) return "";
  std::istringstream words(text.substr(at + prefix.size()));
  for (std::string word; words >> word;)
    if (word.find('/') != std::string::npos) return word;
  return "";
}

// The commands the tour prints run as printed from wherever the student is.
TEST(Tour, PrintsCommandsThatRunFromTheCurrentDirectory) {
  const std::string elsewhere = std::filesystem::temp_directory_path();
  struct Shown {
    Args args;
    std::string prefix;  // the printed command's path follows this text
  };
  for (const Shown& shown : std::vector<Shown>{{{"--threads", "3", "greet_ids"}, "$ "},
                                               {{"--explain", "fill_pairs_tagged"}, "Try: "},
                                               {{"--explain", "lost_adds"}, "Check it: "},
                                               {{"--explain", "lost_adds"}, " --check "}}) {
    suite::Launch l = tour_launch(shown.args);
    l.cwd = elsewhere;
    suite::Result r = suite::run(l);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string path = path_after(r.out, shown.prefix);
    ASSERT_FALSE(path.empty()) << "no command after '" << shown.prefix << "' in:\n" << r.out;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(elsewhere) / path))
        << path << " does not exist seen from " << elsewhere;
  }
}

TEST(Tour, SaysOnceWhichRuntimeVariablesItInherits) {
  suite::Launch l = tour_launch({"greet_ids", "env_report"});
  l.env.emplace_back("OMP_DYNAMIC", "false");
  suite::Result r = suite::run(l);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(count(r.out, "OMP_DYNAMIC=false"), 1u) << r.out;
}

// A build directory of stand-in programs: one that fails, one with a long output.
class FakeBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tour_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    // Two threads' blocks of 250, their lines interleaved; then an output that does not
    // end its last line.
    std::ofstream(dir + "/long.sh")
        << "#!/bin/sh\nfor i in $(seq 1 250); do\n"
        << "  echo \"v $i (hilo: 0)\"; echo \"v $((i + 250)) (hilo: 1)\"\n"
        << "done\n";
    std::ofstream(dir + "/open.sh") << "#!/bin/sh\nprintf 'x\\n '\n";
    std::ofstream(dir + "/programs.tsv")
        << "long\tfake\t" << dir << "/long.sh\tfake/long.cpp\tcounts to 500\n"
        << "open\tfake\t" << dir << "/open.sh\tfake/open.cpp\tends without a newline\n"
        << "fails\tfake\t/bin/false\tfake/fails.cpp\talways fails\n";
    ASSERT_EQ(chmod((dir + "/long.sh").c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir + "/open.sh").c_str(), 0755), 0);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string dir;
};

TEST_F(FakeBuild, AFailingProgramFailsTheTour) {
  suite::Result r = tour({}, dir);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("fails exited with status 1"), std::string::npos) << r.out;
  EXPECT_EQ(headings(r.out), (std::vector<std::string>{"long", "open", "fails"}))
      << "the tour went on after the failure, each heading on a line of its own";
}

// A long output keeps where each thread's block starts and ends, and nothing between.
TEST_F(FakeBuild, LongOutputIsCutUnlessFull) {
  suite::Result cut = tour({"long"}, dir);
  ASSERT_EQ(cut.exit_code, 0) << cut.err;
  for (const char* kept :
       {"v 1 (hilo: 0)", "v 250 (hilo: 0)", "v 251 (hilo: 1)", "v 500 (hilo: 1)"})
    EXPECT_NE(cut.out.find(std::string("\n") + kept + "\n"), std::string::npos) << kept;
  EXPECT_EQ(cut.out.find("v 100 "), std::string::npos) << cut.out;
  EXPECT_EQ(count(cut.out, "247 lines not shown"), 2u) << cut.out;
  suite::Result full = tour({"--full", "long"}, dir);
  EXPECT_NE(full.out.find("\nv 100 (hilo: 0)\n"), std::string::npos);
}

TEST_F(FakeBuild, ExplainingAProgramWithoutItsSourceFails) {
  suite::Result r = tour({"--explain", "long"}, dir);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
}

}  // namespace
