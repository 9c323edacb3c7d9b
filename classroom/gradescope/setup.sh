#!/usr/bin/env bash
# Gradescope runs this once, as root, when it builds the assignment's image (Ubuntu
# 22.04 or 24.04; choose 24.04): the suite's packages, then a first check of the lesson
# itself, which builds the check's test harnesses so that every submission is judged
# warm (and fails the image's build if the suite does not work there).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends g++ make cmake python3 python3-pip ninja-build \
  libgtest-dev clang libomp-dev llvm valgrind bubblewrap util-linux ca-certificates
# ThreadSanitizer's runtime for the default clang: its own package on newer releases,
# part of clang's on older ones.
version=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
apt-get install -y -q --no-install-recommends "libclang-rt-$version-dev" || true
# The suite needs CMake 3.25; Ubuntu 22.04 ships 3.22.
have=$(cmake --version | sed -n 's/^cmake version \([0-9.]*\).*/\1/p')
if [ "$(printf '%s\n' 3.25 "$have" | sort -V | head -1)" != 3.25 ]; then
  python3 -m pip install 'cmake>=3.25' || python3 -m pip install --break-system-packages 'cmake>=3.25'
  hash -r
fi
lesson=$(tr -d '[:space:]' < "$here/lesson")
"$here/openmp-lessons/tour" --build-dir "$here/openmp-lessons/build" --check "$lesson"
