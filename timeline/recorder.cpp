// The suite's timeline recorder: a small OMPT tool, linked into the programs of the
// timeline build, that records what each thread does and when.
//
// It records, per operating-system thread and with one clock (CLOCK_MONOTONIC):
//   - a parallel region's fork and join, and each thread's implicit task in it;
//   - each work-shared loop a thread takes part in, with the count the runtime reports,
//     and the iterations it was given: the bounds the runtime's loop-scheduling entry
//     points (__kmpc_for_static_init_*, __kmpc_dispatch_next_*) return to the program,
//     which this library interposes (OMPT in LLVM 14 reports no per-thread bounds);
//   - barrier and wait intervals, and locks taken for critical sections and atomics;
//   - every atomic operation the compiler emitted (the timeline build has clang's
//     ThreadSanitizer pass instrument atomics and memory accesses; this file implements
//     those hooks, without the sanitizer's runtime);
//   - the plain (not atomic) stores of the program's own code inside parallel regions,
//     outside any lock: counted per address, and written once, at the end, for each
//     address that two or more threads of one region stored to (a shared variable
//     updated without protection; a private copy or an array element has one writer);
//   - every printf/puts call, with its text, at the moment it was made.
// Each thread appends to its own buffer; the buffers are written to the file named by
// SUITE_TIMELINE_OUT once, when the runtime shuts the tool down or the program exits.
// Without SUITE_TIMELINE_OUT nothing is recorded and the program runs as built.
#include <dlfcn.h>
#include <omp-tools.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

struct Event {
  std::int64_t ns;
  const char* kind;  // a string literal
  std::int64_t a;
  std::int64_t b;
  std::int64_t c;
  std::string text;  // a write's text; empty otherwise
};

// Plain stores of one implicit task, per address: how many, and the code that made the
// first (its return address in the program).
struct Stores {
  std::uint64_t region = 0;  // the implicit task's region; 0 outside any
  int locks = 0;             // locks held (critical sections, lock-based atomics)
  struct Count {
    std::int64_t stores;
    // cppcheck-suppress unusedStructMember ; read when a task's counts are merged
    const void* code;
  };
  std::unordered_map<std::uintptr_t, Count> by_address;
};
// At most this many addresses per task are counted (a loop over a large array stores
// to one address per element; a shared variable is met in the first iterations).
constexpr std::size_t kMaxAddresses = 1 << 16;

// An address's plain stores in one region, over its threads.
struct SharedStores {
  std::int64_t stores = 0;
  std::uint64_t threads = 0;  // a bit per thread serial (the first 64)
  const void* code = nullptr;
};

// One thread's events. Its lock is uncontended while the program runs (only the thread
// itself takes it); it keeps a worker that records late from racing the final write.
struct ThreadLog {
  unsigned serial = 0;
  std::mutex lock;
  std::vector<Event> events;
  Stores stores;  // guarded by lock too: the final write merges what a task left
};

std::int64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct Recorder {
  const char* out = std::getenv("SUITE_TIMELINE_OUT");
  std::int64_t origin = now_ns();
  std::mutex lock;  // guards logs and written
  std::vector<std::unique_ptr<ThreadLog>> logs;
  bool written = false;
  std::atomic<bool> closed{false};  // set once the events are being written: later ones are dropped
  std::atomic<std::uint64_t> next_region{1};
  // Guarded by lock: region -> address -> its plain stores, merged as tasks end.
  std::unordered_map<std::uint64_t, std::unordered_map<std::uintptr_t, SharedStores>> stores;
};

// Built on first use and never destroyed: threads may still record while the program's
// static objects are being destroyed.
Recorder& recorder() {
  static auto* r = new Recorder;
  return *r;
}

bool recording() { return recorder().out != nullptr; }

ThreadLog& this_thread_log() {
  thread_local ThreadLog* log = nullptr;
  if (log == nullptr) {
    Recorder& r = recorder();
    const std::lock_guard<std::mutex> guard(r.lock);
    r.logs.push_back(std::make_unique<ThreadLog>());
    log = r.logs.back().get();
    log->serial = static_cast<unsigned>(r.logs.size() - 1);
    log->events.reserve(4096);
  }
  return *log;
}

// A plain store by the program's own code: counted inside a region, outside any lock.
void note_store(const volatile void* where, const void* code) {
  if (!recording()) {
    return;
  }
  ThreadLog& log = this_thread_log();
  const std::lock_guard<std::mutex> guard(log.lock);
  Stores& s = log.stores;
  if (s.region == 0 || s.locks > 0) {
    return;
  }
  const auto address = reinterpret_cast<std::uintptr_t>(where);
  auto found = s.by_address.find(address);
  if (found != s.by_address.end()) {
    ++found->second.stores;
  } else if (s.by_address.size() < kMaxAddresses) {
    s.by_address.emplace(address, Stores::Count{1, code});
  }
}

// A task's plain stores, merged into its region's; the task's count starts again. The
// caller holds the recorder's lock, then the thread's (in that order, as write_all).
void merge_stores(Recorder& r, ThreadLog& log) {
  Stores& s = log.stores;
  if (s.region != 0) {
    auto& region = r.stores[s.region];
    for (const auto& [address, count] : s.by_address) {
      SharedStores& shared = region[address];
      if (shared.stores == 0) {
        shared.code = count.code;
      }
      shared.stores += count.stores;
      shared.threads |= log.serial < 64 ? std::uint64_t{1} << log.serial : 0;
    }
  }
  s.by_address.clear();
  s.region = 0;
}

// This thread's implicit task begins in `region` (0: it ended): what the last one stored
// is merged first.
void task_stores(std::uint64_t region) {
  if (!recording()) {
    return;
  }
  Recorder& r = recorder();
  ThreadLog& log = this_thread_log();
  const std::lock_guard<std::mutex> guard(r.lock);
  const std::lock_guard<std::mutex> log_guard(log.lock);
  if (!r.written) {
    merge_stores(r, log);
  }
  log.stores.region = region;
}

// A lock taken (+1) or released (-1): stores under a lock are protected.
void lock_stores(int change) {
  if (!recording()) {
    return;
  }
  ThreadLog& log = this_thread_log();
  const std::lock_guard<std::mutex> guard(log.lock);
  log.stores.locks = std::max(0, log.stores.locks + change);
}

// The call that returns to `code`, as an offset into the file it was loaded from (the
// program), which the drawing maps to a line of its source.
std::int64_t code_offset(const void* code) {
  Dl_info info{};
  if (code == nullptr || dladdr(code, &info) == 0 || info.dli_fbase == nullptr) {
    return 0;
  }
  // One byte back: inside the call, not at the instruction after it.
  return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(code) -
                                   reinterpret_cast<std::uintptr_t>(info.dli_fbase)) -
         1;
}

void record(const char* kind, std::int64_t a = 0, std::int64_t b = 0, std::int64_t c = 0,
            std::string text = {}) {
  if (!recording() || recorder().closed.load(std::memory_order_relaxed)) {
    return;
  }
  const std::int64_t ns = now_ns() - recorder().origin;
  ThreadLog& log = this_thread_log();
  const std::lock_guard<std::mutex> guard(log.lock);
  log.events.push_back(Event{ns, kind, a, b, c, std::move(text)});
}

// A write's text on one line: backslash, newline and tab escaped.
void put_escaped(std::FILE* f, const std::string& text) {
  for (const char ch : text) {
    if (ch == '\\') {
      std::fputs("\\\\", f);
    } else if (ch == '\n') {
      std::fputs("\\n", f);
    } else if (ch == '\t') {
      std::fputs("\\t", f);
    } else {
      std::fputc(ch, f);
    }
  }
}

// Writes every thread's events, one per line: time (ns), thread serial, kind, three
// numbers, text. Done once, whole: into a file beside the one asked for, renamed to it
// only when every byte was written, so that a full disk leaves no half recording to be
// read. A failure is reported on stderr, never silently dropped.
void write_all() {
  Recorder& r = recorder();
  if (r.out == nullptr) {
    return;
  }
  const std::lock_guard<std::mutex> guard(r.lock);
  if (r.written) {
    return;
  }
  r.written = true;
  r.closed = true;
  const std::string partial = std::string(r.out) + ".partial";
  std::FILE* f = std::fopen(partial.c_str(), "w");
  if (f == nullptr) {
    std::fprintf(stderr, "timeline recorder: cannot write %s\n", r.out);
    return;
  }
  std::fputs("# suite timeline 1\n", f);
  for (const auto& log : r.logs) {
    const std::lock_guard<std::mutex> log_guard(log->lock);
    for (const Event& e : log->events) {
      std::fprintf(f, "%lld\t%u\t%s\t%lld\t%lld\t%lld\t", static_cast<long long>(e.ns), log->serial,
                   e.kind, static_cast<long long>(e.a), static_cast<long long>(e.b),
                   static_cast<long long>(e.c));
      put_escaped(f, e.text);
      std::fputc('\n', f);
    }
  }
  // What tasks still open stored (LLVM's runtime reports a worker's last task end only
  // when it is woken again, which may be never).
  for (const auto& log : r.logs) {
    const std::lock_guard<std::mutex> log_guard(log->lock);
    merge_stores(r, *log);
  }
  // Each address two or more threads of one region stored to, plainly: "shared_store",
  // its region, stores and threads, and the code offset of the first store as text.
  const std::int64_t end = now_ns() - r.origin;
  for (const auto& [region, addresses] : r.stores) {
    for (const auto& [address, shared] : addresses) {
      const int threads = __builtin_popcountll(shared.threads);
      if (threads >= 2) {
        std::fprintf(f, "%lld\t0\tshared_store\t%llu\t%lld\t%d\t%lld\n",
                     static_cast<long long>(end), static_cast<unsigned long long>(region),
                     static_cast<long long>(shared.stores), threads,
                     static_cast<long long>(code_offset(shared.code)));
      }
    }
  }
  const bool written = std::ferror(f) == 0;
  if (std::fclose(f) != 0 || !written || std::rename(partial.c_str(), r.out) != 0) {
    std::remove(partial.c_str());
    std::fprintf(stderr, "timeline recorder: cannot write %s\n", r.out);
  }
}

// Written at exit too, for a program that never started the OpenMP runtime.
struct WriteAtExit {
  WriteAtExit() {
    if (recording()) {
      this_thread_log();  // the initial thread is serial 0
      std::atexit(write_all);
    }
  }
};
const WriteAtExit write_at_exit;

// ---- OMPT callbacks ----------------------------------------------------------------

void on_parallel_begin(ompt_data_t* /*task*/, const ompt_frame_t* /*frame*/, ompt_data_t* parallel,
                       unsigned int requested, int /*flags*/, const void* /*codeptr*/) {
  parallel->value = recorder().next_region++;
  record("fork", static_cast<std::int64_t>(parallel->value), requested);
}

void on_parallel_end(ompt_data_t* parallel, ompt_data_t* /*task*/, int /*flags*/,
                     const void* /*codeptr*/) {
  record("join", static_cast<std::int64_t>(parallel->value));
}

void on_implicit_task(ompt_scope_endpoint_t endpoint, ompt_data_t* parallel, ompt_data_t* task,
                      unsigned int team_size, unsigned int index, int flags) {
  if ((flags & ompt_task_initial) != 0) {
    return;
  }
  if (endpoint == ompt_scope_begin) {
    // The region's id travels with the task: at the end the runtime may pass no region.
    task->value = parallel != nullptr ? parallel->value : 0;
    record("task_begin", static_cast<std::int64_t>(task->value), index, team_size);
    task_stores(task->value);
  } else {
    record("task_end", static_cast<std::int64_t>(task->value), index);
    task_stores(0);
  }
}

void on_work(ompt_work_t kind, ompt_scope_endpoint_t endpoint, ompt_data_t* parallel,
             ompt_data_t* /*task*/, std::uint64_t count, const void* /*codeptr*/) {
  const std::uint64_t region = parallel != nullptr ? parallel->value : 0;
  record(endpoint == ompt_scope_begin ? "work_begin" : "work_end",
         static_cast<std::int64_t>(region), static_cast<std::int64_t>(kind),
         static_cast<std::int64_t>(count));
}

void on_dispatch(ompt_data_t* parallel, ompt_data_t* /*task*/, ompt_dispatch_t kind,
                 ompt_data_t instance) {
  const std::uint64_t region = parallel != nullptr ? parallel->value : 0;
  record("dispatch", static_cast<std::int64_t>(region), static_cast<std::int64_t>(kind),
         static_cast<std::int64_t>(instance.value));
}

void on_sync_region(ompt_sync_region_t kind, ompt_scope_endpoint_t endpoint,
                    ompt_data_t* /*parallel*/, ompt_data_t* /*task*/, const void* /*codeptr*/) {
  record(endpoint == ompt_scope_begin ? "sync_begin" : "sync_end", static_cast<std::int64_t>(kind));
}

void on_sync_wait(ompt_sync_region_t kind, ompt_scope_endpoint_t endpoint,
                  ompt_data_t* /*parallel*/, ompt_data_t* /*task*/, const void* /*codeptr*/) {
  record(endpoint == ompt_scope_begin ? "wait_begin" : "wait_end", static_cast<std::int64_t>(kind));
}

void on_mutex_acquire(ompt_mutex_t kind, unsigned int /*hint*/, unsigned int /*impl*/,
                      ompt_wait_id_t wait_id, const void* /*codeptr*/) {
  record("mutex_acquire", static_cast<std::int64_t>(kind), static_cast<std::int64_t>(wait_id));
}

void on_mutex_acquired(ompt_mutex_t kind, ompt_wait_id_t wait_id, const void* /*codeptr*/) {
  record("mutex_acquired", static_cast<std::int64_t>(kind), static_cast<std::int64_t>(wait_id));
  lock_stores(+1);
}

void on_mutex_released(ompt_mutex_t kind, ompt_wait_id_t wait_id, const void* /*codeptr*/) {
  record("mutex_released", static_cast<std::int64_t>(kind), static_cast<std::int64_t>(wait_id));
  lock_stores(-1);
}

template <typename Callback>
void set(ompt_set_callback_t set_callback, ompt_callbacks_t event, Callback callback) {
  // A callback the runtime does not support is simply never called.
  set_callback(event, reinterpret_cast<ompt_callback_t>(callback));
}

int initialize(ompt_function_lookup_t lookup, int /*device*/, ompt_data_t* /*data*/) {
  auto set_callback = reinterpret_cast<ompt_set_callback_t>(lookup("ompt_set_callback"));
  if (set_callback == nullptr) {
    return 0;
  }
  set(set_callback, ompt_callback_parallel_begin, on_parallel_begin);
  set(set_callback, ompt_callback_parallel_end, on_parallel_end);
  set(set_callback, ompt_callback_implicit_task, on_implicit_task);
  set(set_callback, ompt_callback_work, on_work);
  set(set_callback, ompt_callback_dispatch, on_dispatch);
  set(set_callback, ompt_callback_sync_region, on_sync_region);
  set(set_callback, ompt_callback_sync_region_wait, on_sync_wait);
  set(set_callback, ompt_callback_mutex_acquire, on_mutex_acquire);
  set(set_callback, ompt_callback_mutex_acquired, on_mutex_acquired);
  set(set_callback, ompt_callback_mutex_released, on_mutex_released);
  return 1;  // keep the tool active
}

void finalize(ompt_data_t* /*data*/) { write_all(); }

// ---- atomics: the hooks clang's ThreadSanitizer pass calls ------------------------
// The timeline build compiles the program with -fsanitize=thread and every other kind of
// instrumentation turned off, so each atomic operation becomes a call to one of these.
// Each performs the operation itself (sequentially consistent, at least as strong as
// asked) and records it: "atomic" for an update, "atomic_read" for a load.

enum class Op : std::int64_t { load = 0, store, exchange, add, sub, and_, or_, xor_, nand, cas };

void note_atomic(Op op, const volatile void* where) {
  record(op == Op::load ? "atomic_read" : "atomic", static_cast<std::int64_t>(op),
         static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(where)));
}

// Not named vprintf: with optimisation the C library's header defines that one inline.
int write_formatted(const char* format, va_list args) {
  char small[512];
  va_list again;
  va_copy(again, args);
  // `args` comes initialised from the caller's va_start, which the analyser cannot see.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  const int n = std::vsnprintf(small, sizeof small, format, args);
  if (n < 0) {
    va_end(again);
    return n;
  }
  std::string text;
  if (static_cast<std::size_t>(n) < sizeof small) {
    text.assign(small, static_cast<std::size_t>(n));
  } else {
    text.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<std::size_t>(n));
  }
  va_end(again);
  const std::size_t done = std::fwrite(text.data(), 1, text.size(), stdout);
  record("write", 0, 0, 0, std::move(text));
  return done == static_cast<std::size_t>(n) ? n : -1;
}

struct ident_t;

template <typename Function>
Function next_definition(const char* name) {
  void* found = dlsym(RTLD_NEXT, name);
  if (found == nullptr) {
    std::fprintf(stderr, "timeline recorder: %s not found in the OpenMP runtime\n", name);
    std::abort();
  }
  return reinterpret_cast<Function>(found);
}

}  // namespace

// The names below are the interfaces this library implements: the tool entry point the
// OpenMP runtime looks up, the C library's output calls, the runtime's loop-scheduling
// entry points and the hooks clang's ThreadSanitizer pass calls. Their names and
// signatures are fixed by those interfaces, and the macros take types as arguments.
// NOLINTBEGIN(bugprone-reserved-identifier, bugprone-macro-parentheses,
// readability-non-const-parameter)
extern "C" {

// Called by the runtime when it starts: the tool is active only when recording.
ompt_start_tool_result_t* ompt_start_tool(unsigned int /*omp_version*/,
                                          const char* /*runtime_version*/) {
  static ompt_start_tool_result_t result{initialize, finalize, ompt_data_none};
  return recording() ? &result : nullptr;
}

// Called from each instrumented module's constructor; nothing to set up here.
void __tsan_init() {}

// ---- report lines: the C library's output calls, timestamped per thread -----------
// Each is formatted once, recorded, and written through the stream unchanged.

int printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = write_formatted(format, args);
  va_end(args);
  return n;
}

int __printf_chk(int /*flag*/, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = write_formatted(format, args);
  va_end(args);
  return n;
}

int puts(const char* s) {
  std::string text(s);
  text += '\n';
  const std::size_t done = std::fwrite(text.data(), 1, text.size(), stdout);
  const bool ok = done == text.size();
  record("write", 0, 0, 0, std::move(text));
  return ok ? 1 : EOF;
}

// ---- the runtime's loop-scheduling entry points ------------------------------------
// Each forwards to LLVM's runtime (the next definition in the lookup order) and records
// the bounds it returned: "static" with lower, upper and stride (a thread's first block;
// a chunked schedule repeats it every stride), "chunk" with lower and upper for each
// chunk a dynamic or guided schedule hands out.

#define SUITE_STATIC_INIT(suffix, type)                                                            \
  void __kmpc_for_static_init_##suffix(ident_t* loc, std::int32_t gtid, std::int32_t sched,        \
                                       std::int32_t* last, type* lower, type* upper, type* stride, \
                                       type incr, type chunk) {                                    \
    using Real = void (*)(ident_t*, std::int32_t, std::int32_t, std::int32_t*, type*, type*,       \
                          type*, type, type);                                                      \
    static const auto real = next_definition<Real>("__kmpc_for_static_init_" #suffix);             \
    real(loc, gtid, sched, last, lower, upper, stride, incr, chunk);                               \
    record("static", static_cast<std::int64_t>(*lower), static_cast<std::int64_t>(*upper),         \
           static_cast<std::int64_t>(*stride));                                                    \
  }

#define SUITE_DISPATCH_NEXT(suffix, type)                                                    \
  int __kmpc_dispatch_next_##suffix(ident_t* loc, std::int32_t gtid, std::int32_t* last,     \
                                    type* lower, type* upper, type* stride) {                \
    using Real = int (*)(ident_t*, std::int32_t, std::int32_t*, type*, type*, type*);        \
    static const auto real = next_definition<Real>("__kmpc_dispatch_next_" #suffix);         \
    const int more = real(loc, gtid, last, lower, upper, stride);                            \
    if (more != 0) {                                                                         \
      record("chunk", static_cast<std::int64_t>(*lower), static_cast<std::int64_t>(*upper)); \
    }                                                                                        \
    return more;                                                                             \
  }

SUITE_STATIC_INIT(4, std::int32_t)
SUITE_STATIC_INIT(4u, std::uint32_t)
SUITE_STATIC_INIT(8, std::int64_t)
SUITE_STATIC_INIT(8u, std::uint64_t)
SUITE_DISPATCH_NEXT(4, std::int32_t)
SUITE_DISPATCH_NEXT(4u, std::uint32_t)
SUITE_DISPATCH_NEXT(8, std::int64_t)
SUITE_DISPATCH_NEXT(8u, std::uint64_t)
#undef SUITE_STATIC_INIT
#undef SUITE_DISPATCH_NEXT

// ---- the atomic hooks, for 1-, 2-, 4- and 8-byte integers --------------------------
#define SUITE_ATOMIC_HOOKS(bits, type)                                                             \
  type __tsan_atomic##bits##_load(const volatile type* a, int /*mo*/) {                            \
    note_atomic(Op::load, a);                                                                      \
    return __atomic_load_n(a, __ATOMIC_SEQ_CST);                                                   \
  }                                                                                                \
  void __tsan_atomic##bits##_store(volatile type* a, type v, int /*mo*/) {                         \
    note_atomic(Op::store, a);                                                                     \
    __atomic_store_n(a, v, __ATOMIC_SEQ_CST);                                                      \
  }                                                                                                \
  type __tsan_atomic##bits##_exchange(volatile type* a, type v, int /*mo*/) {                      \
    note_atomic(Op::exchange, a);                                                                  \
    return __atomic_exchange_n(a, v, __ATOMIC_SEQ_CST);                                            \
  }                                                                                                \
  type __tsan_atomic##bits##_fetch_add(volatile type* a, type v, int /*mo*/) {                     \
    note_atomic(Op::add, a);                                                                       \
    return __atomic_fetch_add(a, v, __ATOMIC_SEQ_CST);                                             \
  }                                                                                                \
  type __tsan_atomic##bits##_fetch_sub(volatile type* a, type v, int /*mo*/) {                     \
    note_atomic(Op::sub, a);                                                                       \
    return __atomic_fetch_sub(a, v, __ATOMIC_SEQ_CST);                                             \
  }                                                                                                \
  type __tsan_atomic##bits##_fetch_and(volatile type* a, type v, int /*mo*/) {                     \
    note_atomic(Op::and_, a);                                                                      \
    return __atomic_fetch_and(a, v, __ATOMIC_SEQ_CST);                                             \
  }                                                                                                \
  type __tsan_atomic##bits##_fetch_or(volatile type* a, type v, int /*mo*/) {                      \
    note_atomic(Op::or_, a);                                                                       \
    return __atomic_fetch_or(a, v, __ATOMIC_SEQ_CST);                                              \
  }                                                                                                \
  type __tsan_atomic##bits##_fetch_xor(volatile type* a, type v, int /*mo*/) {                     \
    note_atomic(Op::xor_, a);                                                                      \
    return __atomic_fetch_xor(a, v, __ATOMIC_SEQ_CST);                                             \
  }                                                                                                \
  type __tsan_atomic##bits##_fetch_nand(volatile type* a, type v, int /*mo*/) {                    \
    note_atomic(Op::nand, a);                                                                      \
    return __atomic_fetch_nand(a, v, __ATOMIC_SEQ_CST);                                            \
  }                                                                                                \
  int __tsan_atomic##bits##_compare_exchange_strong(volatile type* a, type* c, type v, int /*mo*/, \
                                                    int /*fmo*/) {                                 \
    note_atomic(Op::cas, a);                                                                       \
    return __atomic_compare_exchange_n(a, c, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);        \
  }                                                                                                \
  int __tsan_atomic##bits##_compare_exchange_weak(volatile type* a, type* c, type v, int /*mo*/,   \
                                                  int /*fmo*/) {                                   \
    note_atomic(Op::cas, a);                                                                       \
    return __atomic_compare_exchange_n(a, c, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);        \
  }                                                                                                \
  type __tsan_atomic##bits##_compare_exchange_val(volatile type* a, type c, type v, int /*mo*/,    \
                                                  int /*fmo*/) {                                   \
    note_atomic(Op::cas, a);                                                                       \
    __atomic_compare_exchange_n(a, &c, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);              \
    return c;                                                                                      \
  }

SUITE_ATOMIC_HOOKS(8, std::uint8_t)
SUITE_ATOMIC_HOOKS(16, std::uint16_t)
SUITE_ATOMIC_HOOKS(32, std::uint32_t)
SUITE_ATOMIC_HOOKS(64, std::uint64_t)
#undef SUITE_ATOMIC_HOOKS

// ---- plain loads and stores ---------------------------------------------------------
// Loads are not counted; each store is (note_store), with the code that made it.

#define SUITE_ACCESS_HOOKS(size)                                                   \
  void __tsan_read##size(void* /*a*/) {}                                           \
  void __tsan_unaligned_read##size(void* /*a*/) {}                                 \
  void __tsan_write##size(void* a) { note_store(a, __builtin_return_address(0)); } \
  void __tsan_unaligned_write##size(void* a) { note_store(a, __builtin_return_address(0)); }

SUITE_ACCESS_HOOKS(1)
SUITE_ACCESS_HOOKS(2)
SUITE_ACCESS_HOOKS(4)
SUITE_ACCESS_HOOKS(8)
SUITE_ACCESS_HOOKS(16)
#undef SUITE_ACCESS_HOOKS

void __tsan_read_range(void* /*a*/, unsigned long /*size*/) {}
void __tsan_write_range(void* a, unsigned long /*size*/) {
  note_store(a, __builtin_return_address(0));
}
void __tsan_vptr_read(void** /*a*/) {}
void __tsan_vptr_update(void** a, void* /*value*/) { note_store(a, __builtin_return_address(0)); }

void __tsan_atomic_thread_fence(int /*mo*/) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
void __tsan_atomic_signal_fence(int /*mo*/) { __atomic_signal_fence(__ATOMIC_SEQ_CST); }

}  // extern "C"
// NOLINTEND(bugprone-reserved-identifier, bugprone-macro-parentheses,
// readability-non-const-parameter)
