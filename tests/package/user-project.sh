#!/usr/bin/env bash
# A user's own project (examples/simulator-test) built against the wdmusb package of this build
# folder and its tests run, as docs/simulator.md shows it.
#   user-project.sh BUILD_DIR PROJECT_DIR WORK_DIR CXX_COMPILER
# CMAKE_CXX_COMPILER_LAUNCHER (e.g. ccache) is passed on by CMake itself.
set -euo pipefail
if [[ $# -ne 4 ]]; then
    echo "usage: $0 BUILD_DIR PROJECT_DIR WORK_DIR CXX_COMPILER" >&2
    exit 2
fi
build=$1
project=$2
work=$3
compiler=$4

rm -rf "$work"
cmake -S "$project" -B "$work" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -Dwdmusb_DIR="$build"
cmake --build "$work" -j2
ctest --test-dir "$work" --output-on-failure
