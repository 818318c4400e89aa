# shellcheck shell=bash disable=SC2034  # the lists are used by the scripts that source this
# The Debian packages the project's scripts need, by purpose, and
# zevo_install_packages, which installs those that are missing. Sourced by
# scripts/serve, scripts/test, scripts/package and .ci/run (bash).
#
# Names without an architecture are the machine's own (or architecture
# "all"); NAME:armhf is the 32-bit ARM package of Debian's multiarch.

# CMake and the build tool it generates for.
ZEVO_PACKAGES_TOOLS=(cmake make)
# The native compiler.
ZEVO_PACKAGES_NATIVE=(g++)
# TLS for TCP (OpenSSL 3: the core's transport and the client library), and
# the openssl command that makes the tests' and the benchmark's certificates.
ZEVO_PACKAGES_TLS=(libssl-dev openssl)
# Headers of libraries built along, the same for every target (architecture
# "all"): nlohmann's JSON library, zevofa's --json output.
ZEVO_PACKAGES_HEADERS=(nlohmann-json3-dev)
# systemd support (ZEVO_SYSTEMD): sockets systemd passes, readiness, the
# journal target.
ZEVO_PACKAGES_SYSTEMD=(pkg-config libsystemd-dev)
# Message brokers: libmosquitto (MQTT 5, found by pkg-config) for the host's
# broker transport and the client's mqtt: connector; the mosquitto broker for
# the tests, the benchmark and scripts/serve --broker.
ZEVO_PACKAGES_MQTT=(pkg-config libmosquitto-dev)
ZEVO_PACKAGES_BROKER=(mosquitto)
# The tests: GoogleTest and GoogleMock.
ZEVO_PACKAGES_TESTS=(libgtest-dev libgmock-dev)
# The benchmarks (bench/): Google Benchmark; sftp's server and rsync, the
# tools zevocompare measures zevofa against.
ZEVO_PACKAGES_BENCH=(libbenchmark-dev openssh-sftp-server openssh-client rsync)
# The 32-bit ARM cross build and its tests (docs/arm.md): the cross compiler
# and C library, qemu-arm, GoogleTest's sources (built for the target), the
# target's OpenSSL (and the build machine's openssl command for the tests'
# certificates), the target's libsystemd and libmosquitto, found by
# pkg-config, the JSON headers (architecture all), and the build machine's
# mosquitto broker, which the tests under qemu-arm reach on loopback.
ZEVO_PACKAGES_ARM=(g++-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user googletest
                   libssl-dev:armhf openssl pkg-config libsystemd-dev:armhf libmosquitto-dev:armhf
                   nlohmann-json3-dev mosquitto)
# The Debian packages' build and check (scripts/package); the packages'
# own build dependencies come from debian/control through apt-get build-dep.
ZEVO_PACKAGES_PACKAGING=(dpkg-dev lintian)
# All the packages' builds need, amd64 and armhf, so that CI installs them in
# its one apt step: debian/control's build dependencies, the cross
# toolchain and the target's C++ runtime and pkg-config.
ZEVO_PACKAGES_PACKAGING_ALL=("${ZEVO_PACKAGES_PACKAGING[@]}" debhelper cmake pkg-config libsystemd-dev libgtest-dev libgmock-dev libssl-dev openssl
                             libmosquitto-dev nlohmann-json3-dev mosquitto
                             crossbuild-essential-armhf libstdc++6:armhf pkg-config:armhf libsystemd-dev:armhf libssl-dev:armhf
                             libmosquitto-dev:armhf)
# CI beyond scripts/test: clang and its libFuzzer runtime (the Clang build,
# scripts/fuzz), dpkg-dev (dpkg-buildflags), systemd (systemd-analyze for
# scripts/check-units), groff-base (scripts/check-docs), python3
# (scripts/stress).
ZEVO_PACKAGES_CI=(clang libclang-rt-14-dev dpkg-dev systemd groff-base python3)

# zevo_package_installed NAME[:ARCH]
# True when the package is installed and configured ("dpkg -s" also answers
# for a package removed with its configuration files left behind).
zevo_package_installed() {
  local name="${1%%:*}" arch="" states
  [ "$name" = "$1" ] || arch="${1#*:}"
  [ -n "$arch" ] || arch=$(dpkg --print-architecture)
  # One line per installed architecture of the package.
  states=$(dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$name" 2>/dev/null) || return 1
  grep -Eqx "($arch|all) installed" <<<"$states"
}

# zevo_install_packages WHO PACKAGE...
# Installs the PACKAGEs that are not installed, in one apt-get step
# (adding a foreign architecture that a NAME:ARCH needs first): as root
# directly, otherwise through sudo (saying what it runs); without sudo it
# prints the commands to run as root and fails. WHO names the caller in
# messages. On a system without dpkg and apt-get it checks nothing.
zevo_install_packages() {
  local who="$1"; shift
  if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
    echo "$who: not a Debian or Ubuntu system, packages not checked; it needs: $*" >&2
    return 0
  fi
  local missing=() architectures=() package arch
  for package in "$@"; do
    [[ " ${missing[*]} " != *" $package "* ]] || continue
    zevo_package_installed "$package" && continue
    missing+=("$package")
    arch=""
    [ "${package%%:*}" = "$package" ] || arch="${package#*:}"
    if [ -n "$arch" ] && [ "$arch" != "$(dpkg --print-architecture)" ] \
       && ! dpkg --print-foreign-architectures | grep -qx "$arch" \
       && [[ " ${architectures[*]} " != *" $arch "* ]]; then
      architectures+=("$arch")
    fi
  done
  [ ${#missing[@]} -gt 0 ] || return 0

  # Ubuntu serves armhf from ports.ubuntu.com only: with the architecture
  # added but no source for it, every later apt-get update fails.
  if [ ${#architectures[@]} -gt 0 ] && grep -qs '^ID=ubuntu' /etc/os-release \
     && ! grep -rqs 'ports\.ubuntu\.com' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "$who: needs ${missing[*]}, for the architecture ${architectures[*]}, which Ubuntu serves from" >&2
    echo "  http://ports.ubuntu.com/ubuntu-ports: add that source for ${architectures[*]} (and restrict the" >&2
    echo "  others to $(dpkg --print-architecture)), then run this again" >&2
    return 1
  fi

  local commands=()
  for arch in "${architectures[@]}"; do commands+=("dpkg --add-architecture $arch"); done
  commands+=("apt-get update"
             "env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}")
  local sudo=()
  if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "$who: missing packages: ${missing[*]}. Install them as root with:" >&2
      printf '  %s\n' "${commands[@]}" >&2
      return 1
    fi
    sudo=(sudo)
    echo "$who: installing the missing packages with sudo: ${missing[*]}" >&2
  else
    echo "$who: installing the missing packages: ${missing[*]}" >&2
  fi
  local command
  for command in "${commands[@]}"; do
    echo "+ ${sudo[*]}${sudo:+ }$command" >&2
    # The commands are plain words: split them as written.
    # shellcheck disable=SC2086
    "${sudo[@]}" $command || { echo "$who: failed: ${sudo[*]}${sudo:+ }$command" >&2; return 1; }
  done
}
