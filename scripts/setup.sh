#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (as root, or
# through sudo). Packages already present are left alone.
set -euo pipefail

packages=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev python3 curl sysstat)
# The fuzzers: clang with its libFuzzer and sanitizer runtimes.
packages+=(clang libclang-rt-dev)
# A JDK already on the PATH serves as well as Debian's.
command -v javac >/dev/null || packages+=(default-jdk-headless)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
