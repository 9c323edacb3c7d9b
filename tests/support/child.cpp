#include "child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "suite_config.hpp"

namespace suite {
namespace {

// The variables by which ./tour --check tells the harness how to run programs: not the
// programs' own.
constexpr const char* kPrefixVariable = "SUITE_RUN_PREFIX";
constexpr const char* kManifestVariable = "SUITE_MANIFEST";

bool harness_variable(const std::string& entry) {
  const std::vector<std::string> names = {kPrefixVariable, kManifestVariable};
  return std::any_of(names.begin(), names.end(), [&entry](const std::string& name) {
    return entry.compare(0, name.size(), name) == 0 && entry.size() > name.size() &&
           entry[name.size()] == '=';
  });
}

bool runtime_variable(const std::string& entry) {
  const std::vector<std::string> prefixes = {"OMP_", "GOMP_", "KMP_"};
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [&entry](const std::string& prefix) { return entry.rfind(prefix, 0) == 0; });
}

// The entry KEY=VALUE for `key` among `env`'s, or env.end().
std::vector<std::string>::iterator entry_of(std::vector<std::string>& env, const std::string& key) {
  return std::find_if(env.begin(), env.end(), [&key](const std::string& e) {
    return e.size() > key.size() && e.compare(0, key.size(), key) == 0 && e[key.size()] == '=';
  });
}

// The value `env` gives `key` (empty if none).
std::string value_of(std::vector<std::string>& env, const std::string& key) {
  auto e = entry_of(env, key);
  return e == env.end() ? "" : e->substr(key.size() + 1);
}

void set(std::vector<std::string>& env, const std::string& key, const std::string& value) {
  auto e = entry_of(env, key);
  if (e == env.end())
    env.push_back(key + "=" + value);
  else
    *e = key + "=" + value;
}

// What makes a program count `count` processors when it may run on fewer: the preloaded
// library answers the runtime's questions with that count (processors.cpp), ahead of any
// library already preloaded. LLVM's runtime is told to leave affinity alone, or it reads
// the processors through a raw system call that no library can answer. AddressSanitizer
// is told not to insist on coming first among the libraries, which the preload does.
void count_processors(std::vector<std::string>& env, int count) {
  set(env, "SUITE_PROCESSORS", std::to_string(count));
  std::string preload = value_of(env, "LD_PRELOAD");
  set(env, "LD_PRELOAD", config::kProcessorsLibrary + (preload.empty() ? "" : ":" + preload));
  if (config::kLlvmRuntime) set(env, "KMP_AFFINITY", "disabled");
  if (std::string(config::kSanitize).find("address") != std::string::npos) {
    std::string options = value_of(env, "ASAN_OPTIONS");
    set(env, "ASAN_OPTIONS", options + (options.empty() ? "" : ":") + "verify_asan_link_order=0");
  }
}

// The parent's environment without the runtimes' variables, then the build's own and the
// launch's; `count` > 0: processors the program must count beyond those it runs on.
std::vector<std::string> child_environment(const Env& extra, int count) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (!runtime_variable(*e) && !harness_variable(*e)) env.emplace_back(*e);
  for (const char* entry : config::kChildEnv) {
    if (entry == nullptr) continue;
    std::string s(entry);
    size_t eq = s.find('=');
    if (eq != std::string::npos) set(env, s.substr(0, eq), s.substr(eq + 1));
  }
  for (const auto& [key, value] : extra) set(env, key, value);
  if (count > 0) count_processors(env, count);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> v;
  v.reserve(strings.size() + 1);
  for (auto& s : strings) v.push_back(s.data());
  v.push_back(nullptr);
  return v;
}

// The first `count` processors of this process's own mask.
cpu_set_t first_cpus(int count) {
  cpu_set_t mine, chosen;
  CPU_ZERO(&mine);
  CPU_ZERO(&chosen);
  sched_getaffinity(0, sizeof mine, &mine);
  for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&chosen) < count; ++cpu)
    if (CPU_ISSET(cpu, &mine)) CPU_SET(cpu, &chosen);
  return chosen;
}

// The lines LLVM's OpenMP runtime writes on stderr by design, in the builds that use it
// (clang, race detector). ended_cleanly drops them before it demands an empty stderr;
// every other line, a race or sanitizer report above all, still fails the case. GCC's
// runtime writes nothing in these cases, so its builds keep demanding an empty stderr.
const std::vector<std::regex>& llvm_runtime_notes() {
  static const std::vector<std::regex> notes = {
      // OpenMP 5.0 deprecated omp_get_nested; env_report and env_report_eight call it to
      // report the nesting setting, and the runtime says so once per process.
      std::regex(R"(OMP: Info #276: omp_get_nested routine deprecated, )"
                 R"(please use omp_get_max_active_levels instead\.)"),
      // The same for the OMP_NESTED variable, which one environment case sets.
      std::regex(R"(OMP: Info #268: OMP_NESTED variable deprecated, )"
                 R"(please use OMP_MAX_ACTIVE_LEVELS instead\.)"),
      // A request beyond OMP_THREAD_LIMIT: the runtime forms the smaller team, as the
      // standard requires, warns that it did, and names the limits that may be the
      // cause. The tests check the size of the team itself from the output.
      std::regex(R"(OMP: Warning #96: Cannot form a team with \d+ threads, using \d+ instead\.)"),
      std::regex(R"(OMP: Hint Consider unsetting KMP_DEVICE_THREAD_LIMIT \(KMP_ALL_THREADS\), )"
                 R"(KMP_TEAMS_THREAD_LIMIT, and OMP_THREAD_LIMIT \(if any are set\)\.)"),
  };
  return notes;
}

// stderr without the whole lines that are the runtime's known notes.
std::string unexpected_stderr(const std::string& err) {
  if (!config::kLlvmRuntime) return err;
  std::string rest;
  for (size_t start = 0; start < err.size();) {
    size_t end = err.find('\n', start);
    size_t next = end == std::string::npos ? err.size() : end + 1;
    std::string line = err.substr(start, end == std::string::npos ? end : end - start);
    const auto& notes = llvm_runtime_notes();
    bool note = end != std::string::npos && line.size() <= kLongestMatchedLine &&
                std::any_of(notes.begin(), notes.end(),
                            [&line](const std::regex& n) { return std::regex_match(line, n); });
    if (!note) rest.append(err, start, next - start);
    start = next;
  }
  return rest;
}

// The process group of the program running now. The program runs in a group of its
// own, so that it and everything it forks can be ended together; if this process is
// interrupted, it ends that group before it goes.
volatile sig_atomic_t running_group = 0;

void end_running_group(int sig) {
  if (running_group > 0) kill(-running_group, SIGKILL);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void install_interrupt_handlers() {
  static const bool installed = [] {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, end_running_group);
    return true;
  }();
  (void)installed;
}

// The command every launch goes through, from the file SUITE_RUN_PREFIX names (its words
// separated by NUL bytes): ./tour --check starts each run of a student's program in a
// sandbox of its own this way, while this harness stays outside, out of the program's
// reach. Empty without the variable: programs are started directly.
const std::vector<std::string>& run_prefix() {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> v;
    const char* file = std::getenv(kPrefixVariable);
    if (file == nullptr || *file == '\0') return v;
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + kPrefixVariable + "=" + file);
    for (std::string word; std::getline(in, word, '\0');) v.push_back(word);
    if (v.empty())
      throw std::runtime_error(std::string(kPrefixVariable) + "=" + file + " is empty");
    return v;
  }();
  return words;
}

[[noreturn]] void child_fail(const char* what) {
  std::fprintf(stderr, "child setup failed: %s: %s\n", what, std::strerror(errno));
  _exit(127);
}

// Text as a test's property keeps it: the framework ends a property at a NUL byte, which
// would hide the rest of what the program wrote.
std::string recordable(std::string text) {
  for (size_t at = text.find('\0'); at != std::string::npos; at = text.find('\0', at + 4))
    text.replace(at, 1, "\\x00");
  return text;
}

// The value the current test recorded for `key`, or "".
std::string recorded(const ::testing::TestInfo& test, const std::string& key) {
  const ::testing::TestResult& result = *test.result();
  for (int k = 0; k < result.test_property_count(); ++k)
    if (result.GetTestProperty(k).key() == key) return result.GetTestProperty(k).value();
  return "";
}

// The current test's last run, kept with its result (gtest's --gtest_output shows it) so
// that a failure can be told with what the program printed, and the run repeated: the
// program, its environment and processors, and whether it ran past its deadline ("ran")
// or was not started because an earlier run had ("not started"). A run that was not
// started leaves the record of a run of the same test that hung as it is: that run is
// the one to tell, and to repeat.
void record(const Launch& launch, const Result& r) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (test == nullptr || !launch.recorded) return;
  if (r.not_started && recorded(*test, "hung") == "ran") return;
  ::testing::Test::RecordProperty("path", launch.path);
  std::string arguments;
  for (const std::string& a : launch.args) arguments += (arguments.empty() ? "" : "\n") + a;
  if (!arguments.empty()) ::testing::Test::RecordProperty("arguments", arguments);
  ::testing::Test::RecordProperty("environment", describe(launch.env));
  if (launch.cpus > available_cpus()) {
    // Run on every processor, and told of more: the variables that tell it.
    std::vector<std::string> told;
    count_processors(told, launch.cpus);
    std::string words;
    for (const std::string& t : told) words += (words.empty() ? "" : " ") + t;
    ::testing::Test::RecordProperty("told", words);
    ::testing::Test::RecordProperty("processors", 0);
  } else {
    ::testing::Test::RecordProperty("processors", launch.cpus);
  }
  if (r.timed_out) ::testing::Test::RecordProperty("hung", r.not_started ? "not started" : "ran");
  if (!r.timed_out && r.capped.empty()) {
    ::testing::Test::RecordProperty("exit_code", r.signal != 0 ? -1 : r.exit_code);
    ::testing::Test::RecordProperty("signal", r.signal);
    // The detector's own status: it ended the program at its first report, so the
    // finding stands even when the report's text never reached stderr.
    if (launch.detector && r.signal == 0 && r.exit_code == kDetectorExit)
      ::testing::Test::RecordProperty("detected", "yes");
  }
  ::testing::Test::RecordProperty("stdout", recordable(r.out.substr(0, 3000)));
  if (r.out.size() > 3000)
    ::testing::Test::RecordProperty("stdout_tail", recordable(r.out.substr(r.out.size() - 1000)));
  ::testing::Test::RecordProperty("stdout_lines",
                                  static_cast<int>(std::count(r.out.begin(), r.out.end(), '\n')));
  ::testing::Test::RecordProperty("stderr", recordable(r.err.substr(0, 16000)));
  if (!r.capped.empty()) ::testing::Test::RecordProperty("output_capped", r.capped);
}

}  // namespace

const std::vector<Program>& programs() {
  static const std::vector<Program> all = [] {
    std::vector<Program> v;
    // ./tour --check names a manifest of its own: the program built from the student's file.
    const char* given = std::getenv(kManifestVariable);
    const std::string path = given != nullptr && *given != '\0' ? given : config::kManifest;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      Program p;
      std::getline(fields, p.name, '\t');
      std::getline(fields, p.folder, '\t');
      std::getline(fields, p.path, '\t');
      std::getline(fields, p.source, '\t');
      std::getline(fields, p.lesson);
      if (!p.name.empty()) v.push_back(p);
    }
    return v;
  }();
  return all;
}

const Program& program(const std::string& name) {
  for (const Program& p : programs())
    if (p.name == name) return p;
  throw std::runtime_error("no program called " + name + " in the manifest");
}

std::vector<std::string> program_names() {
  std::vector<std::string> names;
  for (const Program& p : programs()) names.push_back(p.name);
  return names;
}

std::string describe(const Env& env) {
  std::string text;
  for (const auto& [key, value] : env) text.append(" ").append(key).append("=").append(value);
  return text;
}

int available_cpus() {
  cpu_set_t mine;
  CPU_ZERO(&mine);
  sched_getaffinity(0, sizeof mine, &mine);
  return CPU_COUNT(&mine);
}

int run_timeout(const Launch& launch) {
  if (launch.timeout_s > 0) return launch.timeout_s;
  const char* given = std::getenv("SUITE_RUN_TIMEOUT");
  int seconds = given != nullptr ? std::atoi(given) : 0;
  return seconds > 0 ? seconds : 60;
}

Result run(const Launch& launch) {
  // A program that once ran past its deadline is not started again by this process: it
  // would only hang again, for the whole deadline each time.
  static std::set<std::string> hung;
  if (hung.count(launch.path) != 0) {
    Result r;
    r.timed_out = true;
    r.not_started = true;
    record(launch, r);
    return r;
  }
  std::vector<std::string> argv_s = run_prefix();
  // A closed stdout is closed by the last command before the program, so that nothing
  // the prefix opens takes its place.
  const bool close_late = !argv_s.empty() && launch.out == Stdout::Closed;
  if (close_late) argv_s.insert(argv_s.end(), {"/bin/sh", "-c", "exec \"$@\" >&-", "sh"});
  argv_s.push_back(launch.path);
  argv_s.insert(argv_s.end(), launch.args.begin(), launch.args.end());
  // More processors than this process may run on: the program runs on all of them and
  // is told the count the launch asks for.
  const bool beyond = launch.cpus > available_cpus();
  std::vector<std::string> env_s = child_environment(launch.env, beyond ? launch.cpus : 0);
  std::vector<char*> argv = pointers(argv_s), envp = pointers(env_s);
  cpu_set_t cpus = first_cpus(launch.cpus);

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");

  install_interrupt_handlers();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);  // a group of its own, with whatever it forks: see below
    if (launch.cpus > 0 && sched_setaffinity(0, sizeof cpus, &cpus) != 0) child_fail("affinity");
    if (!launch.cwd.empty() && chdir(launch.cwd.c_str()) != 0) child_fail(launch.cwd.c_str());
    if (dup2(err_pipe[1], STDERR_FILENO) < 0) child_fail("stderr");
    int null_in = open("/dev/null", O_RDONLY);
    if (null_in < 0 || dup2(null_in, STDIN_FILENO) < 0) child_fail("stdin");
    switch (launch.out) {
      case Stdout::Capture:
        if (dup2(out_pipe[1], STDOUT_FILENO) < 0) child_fail("stdout");
        break;
      case Stdout::DevFull: {
        int full = open("/dev/full", O_WRONLY);
        if (full < 0 || dup2(full, STDOUT_FILENO) < 0) child_fail("/dev/full");
        break;
      }
      case Stdout::Closed:
        if (!close_late) close(STDOUT_FILENO);
        break;
    }
    execve(argv[0], argv.data(), envp.data());
    child_fail(argv[0]);
  }
  setpgid(pid, pid);
  running_group = pid;
  close(out_pipe[1]);
  close(err_pipe[1]);

  Result r;
  // The output is read until the program has ended and its pipes are drained: not until
  // they close, which a process the program forked could put off for ever. A program
  // still running at the deadline is killed.
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  for (const pollfd& p : fds) fcntl(p.fd, F_SETFL, O_NONBLOCK);
  const char* names[2] = {"stdout", "stderr"};
  const size_t cap = launch.output_cap > 0 ? launch.output_cap : kOutputCap;
  char buf[65536];
  // A stream that passes the cap keeps its first `cap` bytes, and the program is killed:
  // one printing without end would otherwise fill this process's memory.
  auto drain = [&] {
    for (int i = 0; i < 2; ++i) {
      ssize_t n = 0;
      while (fds[i].fd >= 0 && (n = read(fds[i].fd, buf, sizeof buf)) > 0) {
        size_t room = cap - std::min(cap, sinks[i]->size());
        sinks[i]->append(buf, std::min(room, static_cast<size_t>(n)));
        if (static_cast<size_t>(n) > room && r.capped.empty()) {
          kill(-pid, SIGKILL);
          r.capped = names[i];
        }
      }
      if (fds[i].fd >= 0 && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run_timeout(launch));
  int status = 0;
  for (;;) {
    // Once both pipes have closed, only the program's end is awaited: look often.
    int wait_ms = fds[0].fd < 0 && fds[1].fd < 0 ? 1 : 100;
    if (poll(fds, 2, wait_ms) < 0 && errno != EINTR) throw std::runtime_error("poll failed");
    drain();
    pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) break;
    if (ended < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (!r.timed_out && std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      r.timed_out = true;
    }
  }
  if (r.timed_out) hung.insert(launch.path);
  // Nothing the program forked outlives it.
  kill(-pid, SIGKILL);
  running_group = 0;
  drain();
  for (const pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  // Through the sandbox, a program ended by a signal comes back as 128 + the signal.
  if (!run_prefix().empty() && r.signal == 0 && r.exit_code > 128 && r.exit_code < 128 + NSIG) {
    r.signal = r.exit_code - 128;
    r.exit_code = -1;
  }
  record(launch, r);
  return r;
}

Result run(const std::string& name, const Env& env, int cpus) {
  Launch launch;
  launch.path = program(name).path;
  launch.env = env;
  launch.cpus = cpus;
  return run(launch);
}

std::vector<std::string> needed_libraries(const std::string& name) {
  Launch launch;
  launch.path = config::kReadelf;
  launch.recorded = false;
  launch.args = {"-d", "-W", program(name).path};
  Result r = run(launch);
  if (r.exit_code != 0) throw std::runtime_error("readelf failed on " + name + ": " + r.err);
  std::vector<std::string> libs;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    size_t open = line.find("(NEEDED)");
    size_t lib = line.find('[');
    if (open != std::string::npos && lib != std::string::npos)
      libs.push_back(line.substr(lib + 1, line.find(']') - lib - 1));
  }
  if (libs.empty()) throw std::runtime_error("no NEEDED entries read from " + name);
  return libs;
}

bool loads_openmp_runtime(const std::string& name) {
  const std::vector<std::string> runtimes = {"libgomp", "libomp", "libiomp"};
  std::vector<std::string> libs = needed_libraries(name);
  return std::any_of(libs.begin(), libs.end(), [&runtimes](const std::string& lib) {
    return std::any_of(runtimes.begin(), runtimes.end(),
                       [&lib](const std::string& runtime) { return lib.rfind(runtime, 0) == 0; });
  });
}

bool has_line(const std::string& text, const std::regex& line) {
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    if (l.size() <= kLongestMatchedLine && std::regex_match(l, line)) return true;
  return false;
}

::testing::AssertionResult started(const Result& r) {
  if (!r.not_started) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "it was not run: an earlier run of it did not end in time";
}

::testing::AssertionResult ended_cleanly(const Result& r) {
  if (r.not_started) return started(r);
  std::vector<std::string> why;
  if (!r.capped.empty())
    why.push_back("it wrote more on " + r.capped + " than is kept (" +
                  std::to_string((r.capped == "stdout" ? r.out : r.err).size()) +
                  " bytes) and was killed");
  else if (r.timed_out)
    why.emplace_back("it did not end in time and was killed");
  else if (r.signal != 0)
    why.push_back("it was killed by signal " + std::to_string(r.signal));
  else if (r.exit_code != 0)
    why.push_back("it ended with status " + std::to_string(r.exit_code) + ", not 0");
  std::string err = unexpected_stderr(r.err);
  if (!err.empty())
    why.push_back("a program of the suite writes nothing on stderr, and it wrote:\n" +
                  err.substr(0, 2000));
  if (why.empty()) return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  for (size_t k = 0; k < why.size(); ++k) failure << (k > 0 ? "; " : "") << why[k];
  return failure;
}

}  // namespace suite
