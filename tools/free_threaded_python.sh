#!/usr/bin/env bash
# Prints, on its last line of standard output, the path of a free-threaded
# CPython 3.13 interpreter (built with --disable-gil), building it first when
# the cache holds no working one. Progress goes to standard error.
#
#   tools/free_threaded_python.sh           the free-threaded interpreter
#   tools/free_threaded_python.sh --tsan    the same, built with ThreadSanitizer
#   FT_PYTHON=/usr/bin/python3.14t tools/free_threaded_python.sh
#                                           check that interpreter and print it
#
# The source is Debian's python3.13 source package from trixie, fetched with a
# private apt configuration (its own sources list and state directories under
# the cache), so the machine's apt sources stay as they are. Its upstream tree
# is built unpatched (dpkg-source --skip-patches): Debian's patches adapt the
# install layout to the system's dist-packages, which a private prefix does
# not want.
#
# Environment:
#   FT_PYTHON        an existing free-threaded interpreter (3.13+) to use instead
#   FT_VARIANT       "tsan" does what --tsan does
#   QRL_PYTHON_CACHE where the interpreters are kept
#                    (default ${XDG_CACHE_HOME:-$HOME/.cache}/quarlopro)
#
# The interpreters go to $QRL_PYTHON_CACHE/python3.13t and
# $QRL_PYTHON_CACHE/python3.13t-tsan; the ThreadSanitizer one has CPython's
# suppression file beside it (tsan-suppressions.txt), for
#   TSAN_OPTIONS="suppressions=<dir>/tsan-suppressions.txt"
# Missing Debian build dependencies are installed with apt-get (as root).
set -euo pipefail

fail() { echo "free_threaded_python.sh: error: $*" >&2; exit 1; }
say() { echo "== $*" >&2; }

variant=${FT_VARIANT:-default}
for arg in "$@"; do
  case $arg in
    --tsan) variant=tsan ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 0 ;;
    *) fail "unknown argument '$arg' (use --tsan, or FT_PYTHON=...)" ;;
  esac
done
[ "$variant" = default ] || [ "$variant" = tsan ] || fail "FT_VARIANT must be 'tsan' or unset, not '$variant'"

# Prints why $1 is not a usable free-threaded interpreter, or nothing.
interpreter_problem() {
  "$1" - <<'EOF' 2>&1 || echo "it does not start"
import sys, sysconfig
if sys.version_info < (3, 13):
    print("it is Python %d.%d, not 3.13+" % sys.version_info[:2])
elif not sysconfig.get_config_var("Py_GIL_DISABLED"):
    print("it is not a free-threaded build (Py_GIL_DISABLED is not set)")
else:
    import ssl, venv, ensurepip  # pip needs all three
EOF
}

if [ -n "${FT_PYTHON:-}" ]; then
  [ "$variant" = default ] || fail "FT_PYTHON and --tsan exclude each other"
  python=$(command -v "$FT_PYTHON" 2>/dev/null) || fail "FT_PYTHON=$FT_PYTHON: no such interpreter"
  problem=$(interpreter_problem "$python" | tail -n 1)
  [ -z "$problem" ] || fail "FT_PYTHON=$FT_PYTHON: $problem"
  echo "$python"
  exit 0
fi

cache=${QRL_PYTHON_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quarlopro}
case $variant in
  default) prefix=$cache/python3.13t ;;
  tsan) prefix=$cache/python3.13t-tsan ;;
esac
python=$prefix/bin/python3.13t
suppressions=$prefix/tsan-suppressions.txt
tsan_options() { echo "suppressions=$suppressions"; }

# A finished build leaves a marker; anything else in $prefix is a broken one.
if [ -f "$prefix/.complete" ] && [ -x "$python" ]; then
  if [ "$variant" = tsan ]; then export TSAN_OPTIONS; TSAN_OPTIONS=$(tsan_options); fi
  problem=$(interpreter_problem "$python" | tail -n 1)
  if [ -z "$problem" ]; then
    say "using the cached interpreter $python"
    echo "$python"
    exit 0
  fi
  say "the cached interpreter $python is unusable ($problem): building it again"
fi

command -v apt-get >/dev/null 2>&1 || fail "apt-get not found: cannot fetch Debian's python3.13 source (set FT_PYTHON to a free-threaded interpreter)"
started=$SECONDS
elapsed() { echo "$((SECONDS - started)) s"; }

# --- build dependencies -------------------------------------------------------
# What CPython's configure looks for, as far as pip and the test suite need it
# (ssl for pip, zlib, ffi for ctypes, bz2/lzma/sqlite for the stdlib modules
# that the tools import), plus dpkg-source and the compiler.
packages=(gcc g++ make pkg-config dpkg-dev xz-utils libssl-dev zlib1g-dev libffi-dev
          libbz2-dev liblzma-dev libsqlite3-dev)
[ "$variant" = default ] || packages+=(libtsan2)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || fail "missing build dependencies (${missing[*]}); install them as root or run this as root"
  say "installing the build dependencies ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
    { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1; } ||
    fail "apt-get could not install ${missing[*]} (no network or no Debian mirror?)"
fi

# --- the source, through a private apt configuration --------------------------
apt_dir=$cache/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/source"
cat > "$apt_dir/sources.list" <<'EOF'
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main
EOF
apt_options=(-o "Dir::Etc::sourcelist=$apt_dir/sources.list" -o Dir::Etc::sourceparts=-
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
             -o APT::Get::List-Cleanup=0 -o Debug::NoLocking=1)
# apt hands downloads to the unprivileged _apt user, who may not write here.
[ "$(id -u)" != 0 ] || apt_options+=(-o APT::Sandbox::User=root)

dsc=$(ls "$apt_dir/source"/python3.13_*.dsc 2>/dev/null | tail -n 1 || true)
if [ -z "$dsc" ]; then
  say "fetching Debian trixie's source index (private apt lists in $apt_dir)"
  apt-get "${apt_options[@]}" -qq update >/dev/null 2>&1 || true
  ls "$apt_dir/lists/"*trixie*Sources* >/dev/null 2>&1 ||
    fail "could not fetch trixie's source index from the Debian mirror (no network?)"
  say "downloading the python3.13 source package"
  (cd "$apt_dir/source" && apt-get "${apt_options[@]}" -qq source --download-only python3.13 >/dev/null 2>&1) ||
    fail "apt-get source --download-only python3.13 failed (no network, or trixie has no python3.13?)"
  dsc=$(ls "$apt_dir/source"/python3.13_*.dsc 2>/dev/null | tail -n 1 || true)
  [ -n "$dsc" ] || fail "apt-get source left no python3.13 .dsc in $apt_dir/source"
fi
say "source package $(basename "$dsc") ($(elapsed))"

# --- build and install ----------------------------------------------------------
work=$(mktemp -d "$cache/build-$variant.XXXXXX")
trap 'rm -rf "$work"' EXIT
dpkg-source --no-check --skip-patches -x "$dsc" "$work/src" >/dev/null 2>&1 ||
  fail "dpkg-source could not unpack $dsc"
# CPython's own test suite is neither built nor installed: it is not needed
# here, and byte-compiling it three times under ThreadSanitizer takes minutes.
configure_options=(--prefix="$prefix" --disable-gil --with-ensurepip=install --disable-test-modules)
[ "$variant" = default ] || configure_options+=(--with-thread-sanitizer)
rm -rf "$prefix"
mkdir -p "$prefix"
if [ "$variant" = tsan ]; then
  cp "$work/src/Tools/tsan/suppressions_free_threading.txt" "$suppressions"
  # The build runs the new interpreter (ensurepip among others): with reports
  # that CPython itself suppresses, and without failing on the others.
  export TSAN_OPTIONS="$(tsan_options):exitcode=0"
fi
say "building CPython ($variant) in $work (about $([ "$variant" = tsan ] && echo 10 || echo 3) minutes on 2 cores); log: $work/build.log"
(
  cd "$work/src"
  ./configure "${configure_options[@]}" &&
  make -j2 &&
  make install
) > "$work/build.log" 2>&1 || {
  cp "$work/build.log" "$cache/build-$variant.log"
  tail -n 20 "$cache/build-$variant.log" >&2
  fail "the CPython build failed after $(elapsed); the log is $cache/build-$variant.log"
}
say "built and installed into $prefix ($(elapsed))"

problem=$(interpreter_problem "$python" | tail -n 1)
[ -z "$problem" ] || fail "the new interpreter $python is unusable: $problem"
# A venv and a pure-Python install through pip show that the interpreter can
# carry the test dependencies.
"$python" -m venv "$work/venv" && "$work/venv/bin/python" -m pip install -q --no-deps iniconfig >/dev/null 2>&1 &&
  "$work/venv/bin/python" -c 'import iniconfig' ||
  fail "the new interpreter $python cannot create a venv and pip-install a pure-Python package"
say "checked: a venv of it pip-installs a pure-Python package ($(elapsed))"
touch "$prefix/.complete"
echo "$python"
