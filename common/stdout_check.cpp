// Linked into every program of the suite by the build, so that no lesson has to carry it:
// when a program ends, its standard output is flushed and checked. Output lost to a full
// disk or a closed stdout then ends the program with status 1 and one line on stderr,
// instead of a success that wrote nothing. A program compiled by hand from its own file
// alone simply goes without the check.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

void check_stdout() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "%s: no se pudo escribir la salida\n", program_invocation_short_name);
    // exit() is already under way and its status cannot be changed any other way.
    _exit(1);
  }
}

// Handlers registered with atexit run when main returns, before the C library flushes
// and closes its streams, so a write that fails now is still seen.
struct Registration {
  Registration() { std::atexit(check_stdout); }
};
const Registration registration;

}  // namespace
