# Sourced by the other scripts: installs the Debian packages a step needs. The
# package lists at the end are for the scripts that source this one.
# shellcheck shell=bash disable=SC2034

# A mirror can be caught mid-sync, busy or slow for a while: apt is tried again
# after these pauses (seconds), and all the pauses of one run of a script
# together stay within APT_WAIT_BUDGET.
APT_PAUSES=(15 30 60)
APT_WAIT_BUDGET=${APT_WAIT_BUDGET:-240}
APT_UPDATED=''   # the indexes are fetched once a run
APT_FAILED=''    # what the mirror said of the indexes that stayed broken
APT_OPTIONS=(-q -o Acquire::Retries=3 -o APT::Get::Allow-Downgrades=false)

# apt_pause: true after a pause while the budget lasts, false once it is spent.
apt_pause() {
  local pause=$1
  [ "$APT_WAIT_BUDGET" -ge "$pause" ] || return 1
  echo "apt: the mirror failed; trying again in $pause s" >&2
  sleep "$pause"
  APT_WAIT_BUDGET=$((APT_WAIT_BUDGET - pause))
}

# apt_update: fetches the indexes, again after a pause while one fails. Where
# one stays broken it goes on with what apt has, and keeps the mirror's words.
apt_update() {
  [ -z "$APT_UPDATED" ] || return 0
  APT_UPDATED=1
  local said pause
  said=$(mktemp)
  for pause in "${APT_PAUSES[@]}" 0; do
    if apt-get update "${APT_OPTIONS[@]}" >"$said" 2>&1 && ! grep -q '^[EW]: Failed to fetch' "$said"; then
      APT_FAILED=''
      rm -f "$said"
      return 0
    fi
    APT_FAILED=$(grep '^E: Failed to fetch' "$said" || grep '^[EW]: ' "$said" || true)
    if [ "$pause" -eq 0 ] || ! apt_pause "$pause"; then
      break
    fi
  done
  rm -f "$said"
  echo "apt: going on with the indexes apt has; the mirror said:" >&2
  indented "$APT_FAILED" >&2
}

# apt_install OPTION... PACKAGE...: installs, again after a pause where a
# download fails. Never removes a package (--no-remove) nor downgrades one.
# Prints apt's words to standard error and keeps them in $APT_SAID.
apt_install() {
  local pause status
  for pause in "${APT_PAUSES[@]}" 0; do
    status=0
    APT_SAID=$(DEBIAN_FRONTEND=noninteractive apt-get install -y --no-remove "${APT_OPTIONS[@]}" \
      "$@" 2>&1) || status=$?
    echo "$APT_SAID" >&2
    [ $status -ne 0 ] || return 0
    # Only a failed download is worth waiting for; a conflict stays one.
    echo "$APT_SAID" | grep -q -e '^E: Failed to fetch' -e '^E: Unable to fetch' || return $status
    if [ "$pause" -eq 0 ] || ! apt_pause "$pause"; then
      return $status
    fi
  done
}

# release_codename: this machine's Debian release (bookworm, trixie), or nothing.
release_codename() {
  sed -n 's/^VERSION_CODENAME=//p' /etc/os-release 2>/dev/null
}

# apt_words: the gist of what apt said last: the first few unmet
# dependencies, and its errors.
apt_words() {
  { echo "$APT_SAID" | grep ' : Depends: ' | head -n 4; echo "$APT_SAID" | grep '^E: '; } || true
}

# indented TEXT: TEXT with each line indented, for a message.
indented() {
  printf '%s\n' "$1" | sed 's/^/  /'
}

# need_packages [--no-install-recommends] PACKAGE...: installs those not yet
# installed, in one transaction, so that packages of two architectures are
# chosen at versions that fit each other. Where apt cannot resolve them with
# the indexes it has (one that stayed broken, say), it tries once more with
# the release's own suite preferred, and names what that installed. Where it
# still cannot, it says why and stops, having removed nothing. Needs root;
# anyone else is told the exact command and the script stops.
need_packages() {
  local options=()
  if [ "${1:-}" = --no-install-recommends ]; then
    options+=("$1")
    shift
  fi
  local missing=()
  local package
  for package in "$@"; do
    case " ${missing[*]} " in *" $package "*) continue ;; esac  # named twice
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  need_root "apt-get install -y ${options[*]} ${missing[*]}"
  echo "installing: ${missing[*]}" >&2
  apt_update
  apt_install "${options[@]}" "${missing[@]}" && return 0
  local release first planned also=''
  release=$(release_codename)
  first=$(apt_words)
  if [ -n "$release" ] && ! echo "$APT_SAID" | grep -q -e '^E: Failed to fetch' -e '^E: Unable to fetch' &&
    planned=$(apt-get install -s --no-remove -t "$release" "${options[@]}" "${missing[@]}" 2>/dev/null); then
    local chosen
    chosen=$(echo "$planned" | awk '$1 == "Inst" && !/[Ss]ecurity/ {printf "%s%s", sep, $2; sep = " "}')
    echo "apt: installing with $release's own suite preferred, since apt could not fit" \
      "the packages to each other with its other indexes; these may lack security" \
      "updates until an apt-get upgrade once the mirror is whole: $chosen" >&2
    apt_install -t "$release" "${options[@]}" "${missing[@]}" && return 0
    first=$(apt_words)
    also=", not even with $release's own suite preferred"
  fi
  {
    echo "error: apt could not install: ${missing[*]}$also"
    [ -z "$APT_FAILED" ] || { echo "the mirror's indexes that failed:"; indented "$APT_FAILED"; }
    echo "apt said:"
    indented "$first"
    echo "Nothing was removed. Running the same command later carries on where this stopped."
  } >&2
  return 1
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

# need_wine32 [--no-install-recommends] PACKAGE...: 32-bit Wine, and i386
# programs that run, natively or emulated, installed in one transaction with
# the packages named. Where i386 programs do not run yet, it first makes sure
# that it can register the emulator, and stops with what the machine's owner
# would run where it cannot: nothing is installed or changed before that. The
# emulator is registered before the install, since some i386 packages run
# i386 programs as they install; where the install fails, the registration
# and the architecture this run added are taken back.
need_wine32() {
  local registered='' added=''
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
    need_packages --no-install-recommends qemu-user-static || exit 1
    # An entry that is there but disabled, or lacks the F flag, is replaced.
    [ -e "$BINFMT/qemu-i386" ] && echo -1 >"$BINFMT/qemu-i386"
    echo "registering qemu-i386 in $BINFMT" >&2
    echo "$QEMU_I386_ENTRY" >"$BINFMT/register"
    registered=1
    if ! i386_runs; then
      echo -1 >"$BINFMT/qemu-i386"
      echo "error: qemu-i386 is registered in $BINFMT, and i386 programs still do not run;" \
        "the entry is taken back" >&2
      exit 1
    fi
  fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root "dpkg --add-architecture i386"
    dpkg --add-architecture i386
    added=1
    APT_UPDATED=''  # the new architecture's indexes
  fi
  need_packages "$@" "${WINE32_PACKAGES[@]}" && return 0
  if [ -n "$registered" ]; then
    echo -1 >"$BINFMT/qemu-i386"
    echo "unregistered qemu-i386 from $BINFMT again" >&2
  fi
  if [ -n "$added" ] && ! dpkg-query -W -f='${Architecture}\n' 2>/dev/null | grep -qx i386; then
    dpkg --remove-architecture i386
    echo "removed the i386 architecture from dpkg again" >&2
  fi
  exit 1
}

# The Debian releases the project supports, oldest first: scripts/debian-root
# and .ci/run test each.
DEBIAN_RELEASES=(bookworm trixie)

# What building and running the native program needs (scripts/run).
RUN_PACKAGES=(cmake make g++)
# The Python tests come from Debian's packages, and run on Debian's interpreter.
NATIVE_PACKAGES=("${RUN_PACKAGES[@]}" libgtest-dev python3 python3-pytest strace)
# llvm brings llvm-symbolizer, by whose names the leak checker's suppression
# matches (clang only recommends it, and the install takes no recommends).
CHECK_PACKAGES=(git clang clang-format clang-tidy cppcheck libclang-rt-dev llvm shellcheck flake8)
# What the shipped 32-bit program and its zip need, and no more.
DIST_PACKAGES=(cmake make python3 g++-mingw-w64-i686-win32)
# Signing the exe, with a key in a file or on a PKCS#11 token, and checking a
# signed zip; the signature is put in DER's one form (tooling/release_signature.py).
SIGN_PACKAGES=(osslsigncode libengine-pkcs11-openssl python3-asn1crypto python3-pyasn1
  python3-pefile)
# Checking a release zip against the checkout (scripts/check-release).
CHECK_RELEASE_PACKAGES=(git "${DIST_PACKAGES[@]}" "${SIGN_PACKAGES[@]}" ca-certificates)
WINDOWS_PACKAGES=("${CHECK_RELEASE_PACKAGES[@]}" g++-mingw-w64-x86-64-win32 wine64
  python3-pytest-xdist python3-pytest-rerunfailures softhsm2 openssl)
WINE32_PACKAGES=(wine32:i386)
