#!/usr/bin/env bash
# Builds the libraries that the gateway build links, for MIPS32 big-endian
# (mips-linux-gnu), from Debian's own source packages of the versions
# installed here: libuuid (util-linux), libuv (libuv1), msgpack-c, and for
# zeb-httpd libmicrohttpd and libcrypt (libxcrypt), plus GoogleTest from the
# sources that libgtest-dev ships in /usr/src/googletest. The header-only
# nlohmann-json is copied as it is.
#
# Each library goes to its own prefix <package>-<version>-<flavour> under
# build/mips-deps (or $ZEB_MIPS_DEPS), where the flavour is a hash of the
# compiler and flags: a second run with the same versions rebuilds nothing.
# prefixes.cmake there lists the prefixes for
# cmake/toolchains/mips-linux-gnu.cmake.
#
# Debian 12 has no mips port, so nothing of these can come as a binary
# package; the deb-src entries of the configured archive are enabled for
# apt-get source when they are missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

host=mips-linux-gnu
# ZEB_MIPS_DEPS may put the libraries elsewhere, to keep them across clones
# (cmake/toolchains/mips-linux-gnu.cmake reads the same variable).
deps="${ZEB_MIPS_DEPS:-$root/build/mips-deps}"
jobs="${ZEB_JOBS:-2}"

# dpkg-dev for apt-get source; the autotools for util-linux, whose build
# system Debian regenerates after its patches (debian/rules runs autogen.sh).
scripts/bootstrap.sh "g++-$host" qemu-user dpkg-dev autoconf automake libtool autopoint bison

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi

# What every library is compiled with: the gateway build's size optimisation,
# and 64-bit time_t and file offsets as the project itself uses on 32-bit
# targets (cmake/ZebOptions.cmake), so that no library disagrees with it.
cflags="-Os -pipe -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64"
recipe=1 # bump when a recipe below changes
flavour="$(printf '%s\n' "$("$host-gcc" --version | head -1)" "$cflags" "$recipe" |
  sha1sum | cut -c1-8)"

mkdir -p "$deps"
# One build at a time in a place that several checkouts may share.
exec 9>"$deps/.lock"
flock 9
prefixes=()

# The source package version behind an installed binary package.
source_version() {
  dpkg-query -W -f='${source:Version}' "$1"
}

enable_deb_src() {
  if apt-cache showsrc libuv1 2>/dev/null | grep -q '^Package:'; then
    return
  fi
  echo "mips-deps: enabling deb-src entries of the configured archive"
  local list=/etc/apt/sources.list.d/zeb-deb-src
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $sudo tee "$list.sources" >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $sudo tee "$list.list" >/dev/null
  fi
  $sudo apt-get update -q >/dev/null
}

# fetch SOURCE_PACKAGE VERSION DIR: the unpacked source (Debian's patches
# applied) in DIR/src.
fetch() {
  local package="$1" version="$2" dir="$3"
  enable_deb_src
  mkdir -p "$dir/fetch"
  (cd "$dir/fetch" && apt-get source -q --only-source -o APT::Sandbox::User=root \
    "$package=$version" >"$dir/fetch.log" 2>&1) || {
    cat "$dir/fetch.log" >&2
    return 1
  }
  local unpacked
  unpacked="$(find "$dir/fetch" -mindepth 1 -maxdepth 1 -type d | head -1)"
  mv "$unpacked" "$dir/src"
}

# The CMake settings of a cross build without the project's toolchain file,
# which needs this script's output.
cmake_cross=(
  -G Ninja
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=mips
  "-DCMAKE_C_COMPILER=$host-gcc" "-DCMAKE_CXX_COMPILER=$host-g++"
  -DCMAKE_BUILD_TYPE=MinSizeRel
  "-DCMAKE_C_FLAGS=$cflags" "-DCMAKE_CXX_FLAGS=$cflags"
  -DCMAKE_FIND_ROOT_PATH=/usr/$host
  -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER
  -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY
  -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY
  -DCMAKE_INSTALL_LIBDIR=lib
)

# build NAME VERSION RECIPE: runs RECIPE PREFIX WORKDIR unless the prefix of
# this version and flavour is complete already.
build() {
  local name="$1" version="$2" recipe_fn="$3"
  # Without the epoch ("1:"): a colon would split the run path and
  # PKG_CONFIG_LIBDIR.
  local prefix="$deps/$name-${version#*:}-$flavour"
  prefixes+=("$prefix")
  if [ -f "$prefix/.complete" ]; then
    echo "mips-deps: $name $version cached"
    return
  fi
  echo "mips-deps: building $name $version for $host"
  local work="$deps/work/$name"
  rm -rf "$prefix" "$work"
  mkdir -p "$work"
  local started=$SECONDS
  # A subshell of its own, so that set -e stops the recipe at its first failure.
  set +e
  (
    set -e
    "$recipe_fn" "$prefix" "$work" "$version"
  ) >"$work/build.log" 2>&1
  local status=$?
  set -e
  if [ "$status" -ne 0 ]; then
    tail -40 "$work/build.log" >&2
    echo "mips-deps: $name failed; the log is $work/build.log" >&2
    exit 1
  fi
  touch "$prefix/.complete"
  rm -rf "$work"
  echo "mips-deps: $name built in $((SECONDS - started)) s"
}

libuuid() {
  local prefix="$1" work="$2" version="$3"
  fetch util-linux "$version" "$work"
  cd "$work/src"
  AM_OPTS=--copy LT_OPTS=--copy ./autogen.sh
  # Only libuuid: util-linux's programs are not needed and need more libraries.
  ./configure --host="$host" --prefix="$prefix" --libdir="$prefix/lib" \
    --disable-all-programs --enable-libuuid --disable-nls --disable-static \
    --without-systemd --without-udev --without-python --without-readline \
    --without-ncursesw --without-tinfo --disable-asciidoc --disable-bash-completion \
    CFLAGS="$cflags"
  make -j"$jobs" libuuid.la
  make install-usrlib_execLTLIBRARIES install-uuidincHEADERS install-pkgconfigDATA
}

libuv() {
  local prefix="$1" work="$2" version="$3"
  fetch libuv1 "$version" "$work"
  cmake -S "$work/src" -B "$work/build" "${cmake_cross[@]}" "-DCMAKE_INSTALL_PREFIX=$prefix" \
    -DLIBUV_BUILD_TESTS=OFF -DLIBUV_BUILD_BENCH=OFF
  cmake --build "$work/build" -j"$jobs"
  cmake --install "$work/build"
}

msgpack() {
  local prefix="$1" work="$2" version="$3"
  fetch msgpack-c "$version" "$work"
  cmake -S "$work/src" -B "$work/build" "${cmake_cross[@]}" "-DCMAKE_INSTALL_PREFIX=$prefix" \
    -DMSGPACK_BUILD_TESTS=OFF -DMSGPACK_BUILD_EXAMPLES=OFF -DMSGPACK_ENABLE_STATIC=OFF
  cmake --build "$work/build" -j"$jobs"
  cmake --install "$work/build"
}

googletest() {
  local prefix="$1" work="$2"
  cmake -S /usr/src/googletest -B "$work/build" "${cmake_cross[@]}" \
    "-DCMAKE_INSTALL_PREFIX=$prefix" -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON
  cmake --build "$work/build" -j"$jobs"
  cmake --install "$work/build"
}

# HTTP without TLS: libmicrohttpd's TLS needs GnuTLS and its own libraries
# (nettle, gmp, p11-kit, ...), too much to cross-build here and to carry on
# the gateway's flash; MHD_is_feature_supported(MHD_FEATURE_TLS) tells
# zeb-httpd. Epoll stays: zeb-httpd waits on MHD's epoll descriptor. The
# authentication helpers, the POST processor and connection upgrades are
# not used.
libmicrohttpd() {
  local prefix="$1" work="$2" version="$3"
  fetch libmicrohttpd "$version" "$work"
  cd "$work/src"
  ./configure --host="$host" --prefix="$prefix" --libdir="$prefix/lib" \
    --disable-static --disable-doc --disable-examples --disable-curl \
    --disable-https --without-gnutls --enable-epoll=yes \
    --disable-bauth --disable-dauth --disable-postprocessor --disable-httpupgrade \
    CFLAGS="$cflags"
  make -j"$jobs"
  make install
}

# libcrypt with yescrypt only, the one hash that zeb-httpd's users files
# hold; its own soname (libcrypt.so.2), without glibc's obsolete interfaces.
libxcrypt() {
  local prefix="$1" work="$2" version="$3"
  fetch libxcrypt "$version" "$work"
  cd "$work/src"
  if [ ! -x configure ]; then
    autoreconf -fi
  fi
  ./configure --host="$host" --prefix="$prefix" --libdir="$prefix/lib" \
    --disable-static --enable-hashes=yescrypt --enable-obsolete-api=no \
    --disable-xcrypt-compat-files CFLAGS="$cflags"
  make -j"$jobs"
  make install
}

# Header-only: the headers and the relocatable CMake package, unchanged.
nlohmann_json() {
  local prefix="$1"
  mkdir -p "$prefix/include" "$prefix/share/cmake"
  cp -a /usr/include/nlohmann "$prefix/include/"
  cp -a /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"
}

build libuuid "$(source_version uuid-dev)" libuuid
build libuv "$(source_version libuv1-dev)" libuv
build msgpack-c "$(source_version libmsgpack-dev)" msgpack
build libmicrohttpd "$(source_version libmicrohttpd-dev)" libmicrohttpd
build libxcrypt "$(source_version libcrypt-dev)" libxcrypt
build googletest "$(source_version libgtest-dev)" googletest
build nlohmann-json "$(source_version nlohmann-json3-dev)" nlohmann_json

{
  echo "# Written by scripts/mips-deps.sh: the prefixes of the $host libraries."
  echo "set(ZEB_MIPS_DEP_PREFIXES"
  printf '  "%s"\n' "${prefixes[@]}"
  echo ")"
} >"$deps/prefixes.cmake.new"
mv "$deps/prefixes.cmake.new" "$deps/prefixes.cmake"
rm -rf "$deps/work"
