# Shared by scripts/run and scripts/test: the repository root and an
# installer that asks apt-get only for the Debian packages that are missing.
# Sourced, not run.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Jobs for builds and test runs; the whole suite is sized for two cores.
jobs=${JOBS:-2}

# ensure_packages PACKAGE...: installs whichever of the packages is missing,
# through sudo when not run as root. Never prompts (CI has no terminal).
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  local as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "missing packages: ${missing[*]}; install them as root (sudo is not available)" >&2
      return 1
    fi
    as_root=(sudo)
  fi
  echo "installing: ${missing[*]}"
  # A source that cannot be reached must not stop the install of packages
  # that the other sources or the lists at hand still provide.
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q ||
    echo "apt-get update failed; installing from the package lists at hand" >&2
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
}

# Packages of the simulated board alone (scripts/run): compiler and CMake,
# and CLI11 for its command line.
run_packages=(cmake g++ make libcli11-dev)
# Packages of the whole native build: GoogleTest sources (built with the
# project), Google Benchmark, the formatter; dpkg-dev for the Depends line
# of the host package (dpkg-shlibdeps); the libraries of the host tool
# p1probe (spectra, recordings, pictures, JSON, captures; its command line
# takes CLI11 as the simulated board does);
# tshark for the tests of the Wireshark dissector (installed without a
# terminal, debconf keeps its default: no setuid dumpcap).
native_packages=("${run_packages[@]}" googletest libbenchmark-dev clang-format file dpkg-dev
  pkg-config libfftw3-dev libsndfile1-dev libcairo2-dev fonts-dejavu-core
  nlohmann-json3-dev libpcap-dev tshark)
# Packages of the real-client check: gr-hpsdr (a Protocol 1 client) in
# Debian's GNU Radio, and ip for the network namespace it runs in.
client_packages=(gr-hpsdr gnuradio iproute2)
# Packages of the cross build for the board and of running its tests.
cross_packages=(g++-arm-linux-gnueabihf qemu-user)
# Packages of the fuzz targets: clang with libFuzzer and its sanitizer
# runtimes. (The sanitizer runtimes of g++ come with g++ itself.)
fuzz_packages=(clang libclang-rt-14-dev)

# configure_and_build BUILD_DIR [CMAKE ARGS...]
configure_and_build() {
  local dir=$1
  shift
  cmake -S "$repo_root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNHOLT_TESTS=ON "$@"
  cmake --build "$dir" -j "$jobs"
}
