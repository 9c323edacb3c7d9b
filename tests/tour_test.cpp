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
suite::Result tour(std::vector<std::string> args,
                   std::string build_dir = suite::config::kBuildDir) {
  suite::Launch l;
  l.path = std::string(suite::config::kSourceDir) + "/tour";
  l.args = std::move(args);
  l.env = {{"SUITE_BUILD_DIR", build_dir}};
  return suite::run(l);
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

INSTANTIATE_TEST_SUITE_P(Errors, TourRejects,
                         ::testing::Values(std::vector<std::string>{"no_such_program"},
                                           std::vector<std::string>{"--explain", "nope"},
                                           std::vector<std::string>{"--threads", "0"},
                                           std::vector<std::string>{"--threads", "abc"},
                                           std::vector<std::string>{"--threads"},
                                           std::vector<std::string>{"--bogus"}));

// A build directory of stand-in programs: one that fails, one with a long output.
class FakeBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tour_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    std::ofstream(dir + "/long.sh") << "#!/bin/sh\nseq 1 500\n";
    std::ofstream(dir + "/programs.tsv")
        << "long\tfake\t" << dir << "/long.sh\tfake/long.cpp\tcounts to 500\n"
        << "fails\tfake\t/bin/false\tfake/fails.cpp\talways fails\n";
    ASSERT_EQ(chmod((dir + "/long.sh").c_str(), 0755), 0);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string dir;
};

TEST_F(FakeBuild, AFailingProgramFailsTheTour) {
  suite::Result r = tour({}, dir);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("fails exited with status 1"), std::string::npos) << r.out;
  EXPECT_EQ(headings(r.out), (std::vector<std::string>{"long", "fails"}))
      << "the tour went on after the failure";
}

TEST_F(FakeBuild, LongOutputIsCutUnlessFull) {
  suite::Result cut = tour({"long"}, dir);
  ASSERT_EQ(cut.exit_code, 0) << cut.err;
  EXPECT_NE(cut.out.find("\n1\n"), std::string::npos);
  EXPECT_NE(cut.out.find("\n500\n"), std::string::npos);
  EXPECT_EQ(cut.out.find("\n250\n"), std::string::npos);
  EXPECT_NE(cut.out.find("480 lines not shown"), std::string::npos) << cut.out;
  suite::Result full = tour({"--full", "long"}, dir);
  EXPECT_NE(full.out.find("\n250\n"), std::string::npos);
}

}  // namespace
