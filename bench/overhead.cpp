// What the constructs the suite teaches cost, measured in the manner of the classic
// OpenMP micro-benchmarks: time a reference of fixed work, then the same work inside
// the construct; the difference, per execution of the construct, is its overhead.
// Every benchmark takes the team size as its argument (1, 2, 4, 8, 16, 64, 256); the
// times are per construct execution. bench/run.py subtracts the references.
#include <benchmark/benchmark.h>
#include <omp.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

namespace {

// A fixed amount of work that the optimiser cannot remove.
void delay(int units) {
  int a = 0;
  for (int i = 0; i < units; i++) {
    a += i;
    benchmark::DoNotOptimize(a);
  }
}
constexpr int kWork = 500;  // delay units per thread: a fraction of a microsecond

void team_sizes(benchmark::internal::Benchmark* b) {
  for (int t : {1, 2, 4, 8, 16, 64, 256}) b->Arg(t);
  b->UseRealTime();
}

// Reference: one thread's share of work, outside any construct.
// cppcheck-suppress constParameterCallback ; iterating a State advances it
void reference_delay(benchmark::State& state) {
  for (auto _ : state) delay(kWork);
}

// (1) Opening and joining a parallel region whose threads each do the reference work.
void parallel_region(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  for (auto _ : state) {
#pragma omp parallel
    delay(kWork);
  }
}

// (2) parallel for schedule(static) over n iterations, each a store as in the fill
// programs; the reference is one thread's share of the same loop, run serially.
template <int n>
void parallel_for_static(benchmark::State& state) {
  std::vector<int> s(n);
  omp_set_num_threads(static_cast<int>(state.range(0)));
  for (auto _ : state) {
#pragma omp parallel for schedule(static)
    for (int i = 0; i < n; i++) s[i] = i + 1;
    benchmark::DoNotOptimize(s.data());
  }
}

template <int n>
void reference_share(benchmark::State& state) {
  std::vector<int> s(n);
  const int share = (n + static_cast<int>(state.range(0)) - 1) / static_cast<int>(state.range(0));
  for (auto _ : state) {
    for (int i = 0; i < share; i++) s[i] = i + 1;
    benchmark::DoNotOptimize(s.data());
  }
}

// (3) 1000 terms per thread into one shared int: an atomic add per term, against a
// private subtotal merged once. Both open the same region; the difference is the adds.
constexpr int kTerms = 1000;

void atomic_per_term(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    int suma = 0;
#pragma omp parallel
    for (int i = 1; i <= kTerms; i++) {
#pragma omp atomic
      suma += i;
    }
    benchmark::DoNotOptimize(suma);
  }
}

void private_then_merge(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    int suma = 0;
#pragma omp parallel
    {
      int subtotal = 0;
      for (int i = 1; i <= kTerms; i++) {
        subtotal += i;
        benchmark::DoNotOptimize(subtotal);
      }
#pragma omp atomic
      suma += subtotal;
    }
    benchmark::DoNotOptimize(suma);
  }
}

// (4) One report line per thread into a pipe that another thread drains, written by
// every thread at once (contending for the stream's lock) or all by thread 0.
class Pipe {
 public:
  Pipe() {
    int fds[2];
    if (pipe(fds) != 0) std::perror("pipe");
    out_ = fdopen(fds[1], "w");
    reader_ = std::thread([fd = fds[0]] {
      char buf[65536];
      while (read(fd, buf, sizeof buf) > 0) {
      }
      close(fd);
    });
  }
  ~Pipe() {
    std::fclose(out_);
    reader_.join();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  FILE* get() const { return out_; }

 private:
  FILE* out_;
  std::thread reader_;
};

void lines_from_every_thread(benchmark::State& state) {
  Pipe pipe;
  FILE* out = pipe.get();
  omp_set_num_threads(static_cast<int>(state.range(0)));
  for (auto _ : state) {
#pragma omp parallel
    std::fprintf(out, "Hola, soy el hilo: %d\n", omp_get_thread_num());
  }
}

void lines_from_one_thread(benchmark::State& state) {
  Pipe pipe;
  FILE* out = pipe.get();
  omp_set_num_threads(static_cast<int>(state.range(0)));
  for (auto _ : state) {
#pragma omp parallel
    {
      if (omp_get_thread_num() == 0) {
        for (int t = 0; t < omp_get_num_threads(); t++)
          std::fprintf(out, "Hola, soy el hilo: %d\n", t);
      }
    }
  }
}

}  // namespace

BENCHMARK(reference_delay)->Apply(team_sizes);
BENCHMARK(parallel_region)->Apply(team_sizes);
BENCHMARK_TEMPLATE(reference_share, 100)->Apply(team_sizes);
BENCHMARK_TEMPLATE(parallel_for_static, 100)->Apply(team_sizes);
BENCHMARK_TEMPLATE(reference_share, 10000)->Apply(team_sizes);
BENCHMARK_TEMPLATE(parallel_for_static, 10000)->Apply(team_sizes);
BENCHMARK(atomic_per_term)->Apply(team_sizes);
BENCHMARK(private_then_merge)->Apply(team_sizes);
BENCHMARK(lines_from_every_thread)->Apply(team_sizes);
BENCHMARK(lines_from_one_thread)->Apply(team_sizes);

BENCHMARK_MAIN();
