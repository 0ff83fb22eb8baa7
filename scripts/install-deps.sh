#!/usr/bin/env bash
# Installs what the build needs on Debian 12 when it is missing: a C++20
# compiler, CMake, GoogleTest, the package tools (mandoc, dpkg-dev,
# lintian), clang-format for the format check and Python 3 for the report
# tests; with the argument "fuzz" also clang and its libFuzzer runtime.
# Does nothing when all are present.
set -euo pipefail

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v make >/dev/null || missing+=(make)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
if [ "${1:-}" = fuzz ]; then
    command -v clang++ >/dev/null || missing+=(clang)
    compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-$(uname -m).a" >/dev/null \
        || missing+=(libclang-rt-14-dev)
fi
command -v mandoc >/dev/null || missing+=(mandoc)
command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
command -v lintian >/dev/null || missing+=(lintian)
command -v clang-format >/dev/null || missing+=(clang-format)
command -v python3 >/dev/null || missing+=(python3)

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
