# Sourced by the other scripts: installs the Debian packages the build and tests need,
# asking apt only for what is missing so that a second run is quick.
korva_packages="build-essential ccache cmake lld pkg-config libgtest-dev libgmock-dev libbenchmark-dev clang llvm udftools libfuse3-dev fuse3 rsync tar autoconf automake sqlite3 git"
korva_packages_demo="qt6-base-dev xvfb xauth"
# The Windows builds: the MinGW-w64 cross-compilers (x86-64, and i686 for the 32-bit build,
# compiled only), Wine to run what the 64-bit one makes, and the
# GoogleTest sources to build the test framework with it. Only the Windows configuration
# needs them; the Linux build and its tests do not.
korva_packages_windows="g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 googletest"

korva_install_deps() {
  local missing=""
  for p in $korva_packages "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    echo "Installing:$missing"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
  fi
}

korva_jobs() { nproc 2>/dev/null || echo 2; }
