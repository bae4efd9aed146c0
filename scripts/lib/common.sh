# Shared by scripts/test, scripts/demo and scripts/screenshots: packages,
# builds, and a private headless Wine session.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

PACKAGES=(cmake ninja-build pkg-config g++ python3 googletest libgtest-dev libgmock-dev libp11-kit-dev
          mingw-w64 wine64 xvfb xauth softhsm2 opensc openssl imagemagick fonts-wqy-microhei fonts-wine
          clang-14 libclang-rt-14-dev nsis osslsigncode locales wixl msitools)

# The shipped 32-bit build runs under Wine's 32-bit loader through qemu's
# user-mode emulation: the kernel runs no 32-bit program itself.
WOW64_PACKAGES=(qemu-user-static wine32:i386)

log() { printf '\n== %s\n' "$*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing: ${missing[*]}"
  as_root apt-get update -q
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Makes 32-bit Windows programs run: the i386 packages, then an i386 ELF
# entry in binfmt_misc for qemu (its amd64 package registers none, as the
# processor could run such programs itself). Prints why not and fails where
# the machine refuses.
I386_ELF_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_ELF_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
prepare_wow64() {
  local p missing=() binfmt=/proc/sys/fs/binfmt_misc
  for p in "${WOW64_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    { as_root dpkg --add-architecture i386 && as_root apt-get update -q &&
      DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q --no-install-recommends \
        "${missing[@]}"; } >/dev/null 2>&1 || { echo "cannot install ${missing[*]}"; return 1; }
  fi
  [ -e "$binfmt/register" ] || as_root mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
    { echo "binfmt_misc cannot be mounted"; return 1; }
  if [ ! -e "$binfmt/qemu-i386" ]; then
    printf ':qemu-i386:M::%s:%s:/usr/bin/qemu-i386-static:F\n' "$I386_ELF_MAGIC" "$I386_ELF_MASK" |
      as_root tee "$binfmt/register" >/dev/null 2>&1 ||
      { echo "binfmt_misc refuses an entry for i386 programs"; return 1; }
  fi
  grep -q '^enabled' "$binfmt/qemu-i386" || echo 1 | as_root tee "$binfmt/qemu-i386" >/dev/null
  grep -q '^enabled' "$binfmt/qemu-i386" || { echo "the i386 entry of binfmt_misc is off"; return 1; }
  /usr/lib/wine/wine --version >/dev/null 2>&1 || { echo "Wine's 32-bit loader does not start"; return 1; }
}

build_preset() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1"
}

wine_loader() {
  if command -v wine64 >/dev/null 2>&1; then echo wine64; else echo /usr/lib/wine/wine64; fi
}

# The wine64 package alone puts no wineserver on PATH; its own is in /usr/lib/wine.
wine_server() {
  if command -v wineserver >/dev/null 2>&1; then wineserver "$@"; else /usr/lib/wine/wineserver "$@"; fi
}

# Starts Xvfb (unless a display is given or WANT_XVFB=0) and a fresh Wine
# prefix with a persistent wineserver; stop_wine_session undoes it.
start_wine_session() {
  export WINEDEBUG=-all
  # qemu gives a 32-bit process 2 GiB and a little more (Wine needs its
  # shared data at the top of the 2 GiB): each start then takes seconds. At
  # qemu's default Wine cannot map that data; with 3 GiB each start spends a
  # minute in Wine's search for free address space.
  export QEMU_RESERVED_VA=0x81000000
  export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko install prompts
  export WINEPREFIX="${WINEPREFIX_DIR:-$(mktemp -d /tmp/monitor-wine.XXXXXX)}"
  WINE_SESSION_PREFIX_OWNED=1
  if [ -z "${DISPLAY:-}" ]; then
    local n=$((90 + RANDOM % 400))
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 "${XVFB_SCREEN:-1024x768}x24" -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  # Make the prefix, then one server kept alive for the whole run: later
  # programs start in a fraction of a second instead of seconds. (A server
  # made persistent before the prefix existed leaves every window-making
  # program waiting about 14 s once the prefix has sat idle.)
  "$(wine_loader)" wineboot --init >/dev/null 2>&1
  wine_server -k
  wine_server -p
  "$(wine_loader)" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
}

stop_wine_session() {
  [ -n "${WINEPREFIX:-}" ] && wine_server -k >/dev/null 2>&1 || true
  if [ -n "${XVFB_PID:-}" ]; then
    kill "$XVFB_PID" >/dev/null 2>&1 || true
    unset XVFB_PID DISPLAY
  fi
  if [ -n "${WINE_SESSION_PREFIX_OWNED:-}" ] && [ -z "${KEEP_WINEPREFIX:-}" ]; then
    rm -rf "$WINEPREFIX"
  fi
  unset WINE_SESSION_PREFIX_OWNED
}

# The virtual token stands in for the token maker's PKCS#11 module: installed
# into the prefix's System32 under the module name the monitor asks for (so
# the installation folder stays as shipped), with fresh copies of the demo
# tokens and two empty slots in folder $1. Needs a built win64 tree.
install_virtual_token() {  # lab-folder [build-folder-name]
  local lab="$1" build="${2:-win64}" system32
  rm -rf "$lab"; mkdir -p "$lab"
  cp -r "$ROOT/build/$build/demo-tokens/tokens" "$lab/"
  printf '[slots]\r\ncount=2\r\nslot0=\r\nslot1=\r\n' > "$lab/vtoken.ini"
  system32=$("$(wine_loader)" winepath -u 'C:\windows\system32' 2>/dev/null)
  cp "$ROOT/build/$build/bin/vtoken.dll" "$system32/v9arc_pkcs11.dll"
  VTOKEN_CONFIG=$("$(wine_loader)" winepath -w "$lab/vtoken.ini" 2>/dev/null | tr -d '\r')
  export VTOKEN_CONFIG
}

# Runs every fuzz target of the fuzz build for the given seconds each, over a
# working corpus seeded from fuzz/corpus/; prints one line per target and
# returns how many found something.
run_fuzz_targets() {
  local seconds="$1" found=0 t log
  for t in $(tr ';' ' ' < "$ROOT/build/fuzz/fuzz-targets.txt"); do
    mkdir -p "$ROOT/build/fuzz/corpus/$t"
    log="$ROOT/build/fuzz/$t.log"
    if (cd "$ROOT/build/fuzz" && "./fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
          "corpus/$t" "$ROOT/fuzz/corpus/$t") > "$log" 2>&1; then
      echo "$t: no finding in $(grep -m1 stat::number_of_executed_units "$log" | awk '{print $2}') executions"
    else
      echo "$t: FINDING (see $log)"; tail -20 "$log"
      found=$((found + 1))
    fi
  done
  return "$found"
}
