// The hardware's floor for the 2-thread overheads: what one cache line takes to go from
// one core to the other and back. Two plain threads, each pinned to one of the first two
// processors this process may use, pass a counter back and forth through one
// std::atomic on a cache line of its own: the first writes an odd value and waits for
// the next even one, the second waits for the odd value and answers with the even one.
// Each exchange moves the line there and back once, so the time per exchange is one
// round trip. No OpenMP is involved.
//
// usage: round_trip [--reps N] [--target-us T]
// Prints one line in the form of bench/overhead's: round_trip, 2, exchanges per
// repetition, mean and sd of the microseconds per round trip, and a reference of 0.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"

namespace {

struct alignas(64) Line {
  std::atomic<long> value{0};
};

// The processors this process may run on, in order.
std::vector<int> allowed_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

bool pin(std::thread& thread, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return pthread_setaffinity_np(thread.native_handle(), sizeof set, &set) == 0;
}

// Seconds that `exchanges` round trips take between processors a and b.
double time_exchanges(long exchanges, int a, int b) {
  Line line;
  std::thread answerer([&] {
    for (long i = 0; i < exchanges; i++) {
      while (line.value.load(std::memory_order_acquire) != 2 * i + 1) {
      }
      line.value.store(2 * i + 2, std::memory_order_release);
    }
  });
  // The asker starts only once both threads sit on their processors.
  std::atomic<bool> ready{false};
  std::thread asker([&] {
    while (!ready.load(std::memory_order_acquire)) {
    }
    for (long i = 0; i < exchanges; i++) {
      line.value.store(2 * i + 1, std::memory_order_release);
      while (line.value.load(std::memory_order_acquire) != 2 * i + 2) {
      }
    }
  });
  if (!pin(answerer, b) || !pin(asker, a)) {
    std::fprintf(stderr, "round_trip: cannot pin a thread to processor %d or %d\n", a, b);
    std::exit(1);
  }
  const auto start = std::chrono::steady_clock::now();
  ready.store(true, std::memory_order_release);
  asker.join();
  const auto end = std::chrono::steady_clock::now();
  answerer.join();
  return std::chrono::duration<double>(end - start).count();
}

long positive(const char* option, const char* text, long most) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 2 || value > most) {
    std::fprintf(stderr, "round_trip: %s takes a whole number from 2 to %ld, not '%s'\n", option,
                 most, text);
    std::exit(2);
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  long reps = 20;
  long target_us = 10000;
  for (int a = 1; a < argc; a++) {
    const std::string arg = argv[a];
    if (arg == "--help" || arg == "-h") {
      std::printf(
          "usage: round_trip [--reps N] [--target-us T]\n\n"
          "Times a cache line's round trip between the first two processors this process may\n"
          "use: two pinned threads pass a counter through one std::atomic. Prints\n"
          "round_trip, 2, exchanges, mean and sd in microseconds per round trip, 0, 0.\n");
      return 0;
    }
    if ((arg == "--reps" || arg == "--target-us") && a + 1 < argc) {
      (arg == "--reps" ? reps : target_us) = positive(arg.c_str(), argv[++a], 100000000);
      continue;
    }
    std::fprintf(stderr, "round_trip: unknown or incomplete option '%s' (see --help)\n",
                 arg.c_str());
    return 2;
  }
  const double target = static_cast<double>(target_us) * 1e-6;
  const std::vector<int> cpus = allowed_processors();
  if (cpus.size() < 2) {
    std::fprintf(stderr, "round_trip: needs two processors, this process may use %zu\n",
                 cpus.size());
    return 1;
  }
  // Exchanges per repetition: doubled until a run takes a quarter of the target, then scaled.
  long exchanges = 1000;
  time_exchanges(exchanges, cpus[0], cpus[1]);  // wakes both processors: not timed
  for (;;) {
    const double t = time_exchanges(exchanges, cpus[0], cpus[1]);
    if (t >= target / 4 || exchanges > (1L << 40)) {
      exchanges = static_cast<long>(static_cast<double>(exchanges) * target / t) + 1;
      break;
    }
    exchanges *= 2;
  }
  std::vector<double> each;
  for (long r = 0; r < reps; r++) {
    each.push_back(time_exchanges(exchanges, cpus[0], cpus[1]) / static_cast<double>(exchanges) *
                   1e6);
  }
  const bench::MeanSd m = bench::mean_sd(each);
  std::printf("round_trip\t2\t%ld\t%.6g\t%.6g\t0\t0\n", exchanges, m.mean, m.sd);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
