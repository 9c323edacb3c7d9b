// Preloaded (LD_PRELOAD) into a program of the suite, makes it count SUITE_PROCESSORS
// processors, however many the machine has: the tests start a program this way when a
// case asks for more processors than they may run on. Only the count is changed: the
// program's threads still share the processors it really runs on.
//
// It answers what the OpenMP runtimes ask when they count processors:
// - GCC's libgomp: sysconf(_SC_NPROCESSORS_CONF) for the size of a processor set, then
//   pthread_getaffinity_np, at start-up (the default team) and in omp_get_num_procs;
// - LLVM's libomp: sysconf(_SC_NPROCESSORS_CONF), which it uses for both when its own
//   affinity handling is off (KMP_AFFINITY=disabled, which the tests set with this
//   library); with it on, it reads the mask through the raw system call instead.
// sched_getaffinity and get_nprocs give the same answer, for any other reader.
// Without SUITE_PROCESSORS (or with a value that is no count) every call is passed on.
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

// The count to report, or 0 to report the truth. Read at every call, and nothing here is
// kept in a guarded static: a sanitizer's runtime calls sysconf while it starts, before
// it can serve the guard's lock (ThreadSanitizer) or before the environment is final.
int processors() {
  const char* text = std::getenv("SUITE_PROCESSORS");
  if (text == nullptr) return 0;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value > 0 && value <= CPU_SETSIZE ? static_cast<int>(value)
                                                                          : 0;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Writes into `set` (`size` bytes) a mask of processors() processors: those of `real`
// first, then the lowest numbers not in it. EINVAL if they do not fit in `size`.
int report(const cpu_set_t& real, size_t size, cpu_set_t* set) {
  const int wanted = processors();
  const int bits = static_cast<int>(size * CHAR_BIT);
  int chosen = 0;
  CPU_ZERO_S(size, set);
  for (int cpu = 0; cpu < CPU_SETSIZE && cpu < bits && chosen < wanted; ++cpu)
    if (CPU_ISSET(cpu, &real)) {
      CPU_SET_S(cpu, size, set);
      ++chosen;
    }
  for (int cpu = 0; cpu < bits && chosen < wanted; ++cpu)
    if (!CPU_ISSET_S(cpu, size, set) && (cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &real))) {
      CPU_SET_S(cpu, size, set);
      ++chosen;
    }
  return chosen == wanted ? 0 : EINVAL;
}

}  // namespace

extern "C" {

long sysconf(int name) {
  if (processors() > 0 && (name == _SC_NPROCESSORS_CONF || name == _SC_NPROCESSORS_ONLN))
    return processors();
  return __sysconf(name);  // glibc's own sysconf, under the name its headers declare
}

int get_nprocs() {
  const auto real = next<int (*)()>("get_nprocs");
  return processors() > 0 ? processors() : real();
}

int get_nprocs_conf() {
  const auto real = next<int (*)()>("get_nprocs_conf");
  return processors() > 0 ? processors() : real();
}

int sched_getaffinity(pid_t pid, size_t size, cpu_set_t* set) {
  const auto real = next<int (*)(pid_t, size_t, cpu_set_t*)>("sched_getaffinity");
  if (processors() == 0 || (pid != 0 && pid != getpid())) return real(pid, size, set);
  cpu_set_t mine;
  if (real(pid, sizeof mine, &mine) != 0) return -1;
  int error = report(mine, size, set);
  if (error == 0) return 0;
  errno = error;
  return -1;
}

// glibc's header names the parameters with reserved identifiers.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int pthread_getaffinity_np(pthread_t thread, size_t size, cpu_set_t* set) {
  const auto real = next<int (*)(pthread_t, size_t, cpu_set_t*)>("pthread_getaffinity_np");
  if (processors() == 0) return real(thread, size, set);
  cpu_set_t mine;
  int error = real(thread, sizeof mine, &mine);
  return error != 0 ? error : report(mine, size, set);
}

}  // extern "C"
