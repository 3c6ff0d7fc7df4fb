# Sourced by the other scripts: installs the Debian packages a step needs.

# need_packages [--no-install-recommends] PACKAGE...: installs those not yet
# installed. Needs root; anyone else is told the exact command and the script stops.
need_packages() {
  local options=()
  if [ "${1:-}" = --no-install-recommends ]; then
    options+=("$1")
    shift
  fi
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  need_root "apt-get install -y ${options[*]} ${missing[*]}"
  echo "installing: ${missing[*]}" >&2
  apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${options[@]}" "${missing[@]}" >&2
}

# need_root COMMAND: stops the script, naming COMMAND, unless it runs as root.
need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: this needs root; run as root: $1" >&2
    exit 1
  fi
}

# The kernel of the build machines runs no 32-bit code, so 32-bit Wine runs
# under qemu user-mode emulation: the i386 packages, and a machine-wide binfmt
# entry that hands every i386 program to the emulator. The F flag opens the
# emulator once, at registration, so that it serves every mount namespace.
I386_ELF_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_ELF_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
need_emulated_wine32() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root "dpkg --add-architecture i386"
    dpkg --add-architecture i386
  fi
  need_packages --no-install-recommends "${WINE32_PACKAGES[@]}"
  local table=/proc/sys/fs/binfmt_misc
  if [ ! -e "$table/register" ]; then
    need_root "mount -t binfmt_misc binfmt_misc $table"
    mount -t binfmt_misc binfmt_misc "$table"
  fi
  if ! grep -qx 'enabled' "$table/qemu-i386" 2>/dev/null ||
    ! grep -q '^flags: .*F' "$table/qemu-i386"; then
    need_root "registering qemu-i386 in $table"
    [ -e "$table/qemu-i386" ] && echo -1 >"$table/qemu-i386"
    echo "registering qemu-i386 in $table" >&2
    echo ":qemu-i386:M::$I386_ELF_MAGIC:$I386_ELF_MASK:/usr/bin/qemu-i386-static:F" >"$table/register"
  fi
}

NATIVE_PACKAGES=(cmake make g++ libgtest-dev python3)
CHECK_PACKAGES=(git clang clang-format clang-tidy cppcheck libclang-rt-14-dev)
# What the shipped 32-bit program and its zip need, and no more.
DIST_PACKAGES=(cmake make python3 g++-mingw-w64-i686-win32)
WINDOWS_PACKAGES=("${DIST_PACKAGES[@]}" g++-mingw-w64-x86-64-win32 binutils wine64)
WINE32_PACKAGES=(qemu-user-static wine32:i386)
