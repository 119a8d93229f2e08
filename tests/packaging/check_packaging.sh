#!/bin/sh
# Builds the outside application of tests/packaging/app the three ways an application can
# take the library in, and runs it each time:
#   1. find_package(vita49) against an install prefix of the static library,
#   2. the same against the shared library (-DBUILD_SHARED_LIBS=ON), whose exported symbols
#      must be the public classes and records only,
#   3. add_subdirectory of the source tree, where tests, tools and benchmarks stay off.
# Each installed library is also installed once more with `cmake --install --prefix` into
# another directory, and the application compiled and linked there with the flags
# `pkg-config --cflags --libs vita49` gives: vita49.pc must name the files beside it.
# The application includes nothing but <vita49/Vita49Receiver.h>; every public header is
# also compiled on its own.
#
#   check_packaging.sh <source dir> <work dir> [c++ compiler] [--strict-exports]
# --strict-exports: also require the implementation classes of the shared library
# to be hidden.
set -eu

src=$(cd "$1" && pwd)
work=$2
cxx=${3:-}
mode=${4:-}
app_src="$src/tests/packaging/app"

generator=""
if command -v ninja >/dev/null 2>&1; then generator="-G Ninja"; fi
compiler=""
if [ -n "$cxx" ]; then compiler="-DCMAKE_CXX_COMPILER=$cxx"; fi
# Debug: the quickest build; these checks are about what gets built, not how fast it runs.
common="$generator $compiler -DCMAKE_BUILD_TYPE=Debug"

step() { printf '\n--- %s\n' "$*"; }
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

build_library() { # kind shared
  step "library ($1): configure, build, install"
  rm -rf "$work/lib-$1" "$work/prefix-$1"
  cmake -S "$src" -B "$work/lib-$1" $common -DBUILD_SHARED_LIBS="$2" -DVITA49_INSTALL=ON \
    -DVITA49_BUILD_TESTS=OFF -DVITA49_BUILD_TOOLS=OFF -DVITA49_BUILD_BENCHMARKS=OFF \
    -DVITA49_BUILD_FUZZERS=OFF -DVITA49_BUILD_PYTHON=OFF -DVITA49_WERROR=ON -DCMAKE_INSTALL_PREFIX="$work/prefix-$1" >/dev/null
  cmake --build "$work/lib-$1" --parallel 2
  cmake --install "$work/lib-$1" >/dev/null
}

build_app() { # name cmake-arguments...
  name=$1
  shift
  step "outside application ($name)"
  rm -rf "$work/app-$name"
  cmake -S "$app_src" -B "$work/app-$name" $common "$@" >/dev/null
  cmake --build "$work/app-$name" --parallel 2
  "$work/app-$name/app" || fail "the application built against the $name library does not run"
}

shared_library() {
  lib=$(find "$work/prefix-shared" -name 'libvita49.so*' -type f | head -n 1)
  [ -n "$lib" ] || fail "no shared library installed"
  echo "$lib"
}

check_pkgconfig() { # kind
  command -v pkg-config >/dev/null 2>&1 || fail "pkg-config is needed to check vita49.pc"
  moved="$work/moved-$1"
  step "vita49.pc ($1): install into another prefix, compile and link with pkg-config's flags"
  rm -rf "$moved"
  cmake --install "$work/lib-$1" --prefix "$moved" >/dev/null
  pc=$(find "$moved" -name vita49.pc -type f | head -n 1)
  [ -n "$pc" ] || fail "no vita49.pc installed"
  ! grep -F "$work/prefix-$1" "$pc" || fail "vita49.pc names the prefix of the build, not its own"
  # Only this vita49.pc, never one installed on the machine.
  pkgconfig() { PKG_CONFIG_LIBDIR=$(dirname "$pc") PKG_CONFIG_PATH='' pkg-config "$@" vita49; }
  flags=$(pkgconfig --cflags --libs) || fail "pkg-config cannot read $pc"
  echo "pkg-config --cflags --libs vita49: $flags"
  includedir=$(pkgconfig --variable=includedir)
  libdir=$(pkgconfig --variable=libdir)
  [ -f "$includedir/vita49/Vita49Receiver.h" ] || fail "includedir $includedir holds no public header"
  case "$(cd "$libdir" && pwd -P)/" in
  "$(cd "$moved" && pwd -P)"/*) ;;
  *) fail "libdir $libdir is not inside $moved" ;;
  esac
  # shellcheck disable=SC2046 # the flags are words
  ${cxx:-c++} -std=c++17 -Wall -Wextra -Werror $(pkgconfig --cflags) "$app_src/main.cpp" \
    -o "$work/app-pc-$1" $(pkgconfig --libs) || fail "the application does not build with pkg-config's flags ($1)"
  LD_LIBRARY_PATH="$libdir" "$work/app-pc-$1" ||
    fail "the application built with pkg-config's flags does not run ($1)"
}

check_exports() { # strict: yes/no
  lib=$(shared_library)
  symbols="$work/exported-symbols.txt"
  nm -D --defined-only -C "$lib" | sed 's/^[0-9a-fA-F]* [A-Za-z] //' | sort -u >"$symbols"
  step "exported symbols: $(wc -l <"$symbols") in $lib"
  for needed in 'Vita49Receiver::Open()' 'Vita49Receiver::Close()' 'Vita49RemoteControl::Open()' \
    'Vita49Decoder::PushBytes(void const*, unsigned long)' 'typeinfo for Vita49Receiver' \
    'Vita49ReturnCodeName(RETURN_CODE)'; do
    grep -qxF "$needed" "$symbols" || fail "$needed is not exported"
  done
  if grep 'vita49::' "$symbols"; then fail "internal symbols (namespace vita49) are exported"; fi
  if [ "$1" = yes ]; then
    # Standard templates instantiated for them (std::thread's state) may mention them.
    if grep -E '^((typeinfo|typeinfo name|vtable) for )?Vita49(Receiver|RemoteControl|Decoder)::Vita49(Receiver|RemoteControl|Decoder)Impl' \
      "$symbols"; then
      fail "the implementation classes are exported"
    fi
  fi
}

mkdir -p "$work"
work=$(cd "$work" && pwd)

strict=no
[ "$mode" = "--strict-exports" ] && strict=yes

build_library static OFF
[ -n "$(find "$work/prefix-static" -name 'libvita49.a')" ] || fail "no static library installed"
[ -z "$(find "$work/prefix-static" -name 'libvita49.so*')" ] || fail "a static build installed a shared library"
build_app static -DCMAKE_PREFIX_PATH="$work/prefix-static"
check_pkgconfig static

build_library shared ON
check_exports "$strict"
build_app shared -DCMAKE_PREFIX_PATH="$work/prefix-shared"
if command -v ldd >/dev/null 2>&1; then
  ldd "$work/app-shared/app" | grep -q 'libvita49\.so' || fail "the shared application does not load libvita49.so"
fi
check_pkgconfig shared
if command -v ldd >/dev/null 2>&1; then
  LD_LIBRARY_PATH="$libdir" ldd "$work/app-pc-shared" | grep -qF "$work/moved-shared/" ||
    fail "the application built with pkg-config's flags does not load the moved libvita49.so"
fi

build_app subdirectory -DVITA49_SOURCE="$src"
for part in tests tools bench; do
  [ ! -d "$work/app-subdirectory/vita49/$part" ] || fail "a subproject build configured the library's $part"
done

echo
echo "packaging: OK"
