# Sourced by the other scripts: installs the Debian packages a step needs. The
# package lists at the end are for the scripts that source this one.
# shellcheck shell=bash disable=SC2034

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

# Where the kernel runs no 32-bit code, 32-bit Wine runs under qemu user-mode
# emulation, through a machine-wide binfmt_misc entry that hands every i386
# program to the emulator. The F flag opens the emulator once,
# at registration, so that it serves every mount namespace and chroot.
I386_ELF_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_ELF_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
BINFMT=/proc/sys/fs/binfmt_misc
QEMU_I386_ENTRY=":qemu-i386:M::$I386_ELF_MAGIC:$I386_ELF_MASK:/usr/bin/qemu-i386-static:F"

# i386_runs: true when an i386 program runs here. The program is 93 bytes of
# a static ELF whose only instructions are exit(0).
i386_runs() {
  local probe
  mkdir -p build
  probe=$(mktemp build/i386-probe.XXXXXX)
  printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  local status=0
  "./$probe" 2>/dev/null || status=1
  rm -f "$probe"
  return $status
}

# need_wine32: 32-bit Wine, and i386 programs that run, natively or emulated.
# Where they do not run yet, it first makes sure that it can register the
# emulator, and stops with what the machine's owner would run where it cannot:
# nothing is installed or changed before that.
need_wine32() {
  if ! i386_runs; then
    need_root "the emulator's registration in $BINFMT"
    if [ ! -e "$BINFMT/register" ] && ! mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null; then
      cat >&2 <<END
error: the tests run the shipped 32-bit exe under 32-bit Wine, which needs
i386 programs to run, and they do not run here: the kernel does not run them,
binfmt_misc has no emulator for them, and binfmt_misc cannot be mounted from
here (a container, or a chroot without it).
The machine's owner would run, as root on the host, once:
  apt-get install -y qemu-user-static &&
  mount -t binfmt_misc binfmt_misc $BINFMT 2>/dev/null;
  echo '$QEMU_I386_ENTRY' >$BINFMT/register
END
      exit 1
    fi
    need_packages --no-install-recommends qemu-user-static
    # An entry that is there but disabled, or lacks the F flag, is replaced.
    [ -e "$BINFMT/qemu-i386" ] && echo -1 >"$BINFMT/qemu-i386"
    echo "registering qemu-i386 in $BINFMT" >&2
    echo "$QEMU_I386_ENTRY" >"$BINFMT/register"
    if ! i386_runs; then
      echo "error: qemu-i386 is registered in $BINFMT, and i386 programs still do not run" >&2
      exit 1
    fi
  fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root "dpkg --add-architecture i386"
    dpkg --add-architecture i386
  fi
  need_packages --no-install-recommends "${WINE32_PACKAGES[@]}"
}

# The Debian releases the project supports, oldest first: scripts/debian-root
# and .ci/run test each.
DEBIAN_RELEASES=(bookworm trixie)

# What building and running the native program needs (scripts/run).
RUN_PACKAGES=(cmake make g++)
# The Python tests come from Debian's packages, and run on Debian's interpreter.
NATIVE_PACKAGES=("${RUN_PACKAGES[@]}" libgtest-dev python3 python3-pytest strace)
CHECK_PACKAGES=(git clang clang-format clang-tidy cppcheck libclang-rt-dev shellcheck flake8)
# What the shipped 32-bit program and its zip need, and no more.
DIST_PACKAGES=(cmake make python3 g++-mingw-w64-i686-win32)
# Signing the exe, with a key in a file or on a PKCS#11 token, and checking a signed zip.
SIGN_PACKAGES=(osslsigncode libengine-pkcs11-openssl)
WINDOWS_PACKAGES=("${DIST_PACKAGES[@]}" g++-mingw-w64-x86-64-win32 wine64 python3-pytest-xdist
  python3-pefile "${SIGN_PACKAGES[@]}" softhsm2 openssl)
WINE32_PACKAGES=(wine32:i386)
