# Sourced by the other scripts: installs the Debian packages a step needs.

# need_packages PACKAGE...: installs those not yet installed. Needs root; anyone
# else is told the exact command and the script stops.
need_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing packages; run as root: apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}" >&2
  apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2
}

NATIVE_PACKAGES=(cmake make g++ libgtest-dev python3)
CHECK_PACKAGES=(clang clang-format clang-tidy cppcheck libclang-rt-14-dev)
WINDOWS_PACKAGES=(g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 binutils wine64)
