#!/usr/bin/env bash
# Makes the clang toolchain that cross-builds the Windows DLL for ARM, unless the cache already
# holds one made from the same sources by the same recipe, and prints its folder.
#   bash scripts/make-windows-arm-toolchain.sh aarch64|armv7
# Debian 12 has clang, lld, llvm's binary tools, widl and the mingw-w64 headers, but no C runtime,
# import libraries or compiler runtime for Windows on ARM. Those are built here from Debian's own
# sources of the installed packages (apt-get source through a private deb-src list, so the
# machine's apt setup is left as it is): the mingw-w64 CRT and import libraries, compiler-rt's
# builtins, and libunwind, libc++abi and libc++ (static) for the C++ test programs.
# The cache is OMBRIVOICE_TOOLCHAIN_CACHE, else $XDG_CACHE_HOME/ombrivoice, else
# ~/.cache/ombrivoice: outside the clone, so a later run on the same machine reuses it. Each
# toolchain is built in a temporary folder beside its place and renamed there when complete,
# so an interrupted build is never taken for a finished one.
set -euo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
arch=${1:?usage: make-windows-arm-toolchain.sh aarch64|armv7}
case "$arch" in
  aarch64) crt_flags=(--disable-lib32 --disable-lib64 --enable-libarm64) builtins_arch=aarch64 ;;
  armv7) crt_flags=(--disable-lib32 --disable-lib64 --enable-libarm32) builtins_arch=arm ;;
  *) echo "make-windows-arm-toolchain.sh: no toolchain for '$arch' (aarch64 or armv7)" >&2; exit 2 ;;
esac
triple=$arch-w64-mingw32
llvm=15 lld=16
bash scripts/install-deps.sh "windows-$([ "$arch" = aarch64 ] && echo arm64 || echo armv7)" >&2

# The key: the source packages of the installed compiler and headers (the same versions are
# fetched as sources), the linker's version and this recipe.
source_version() { dpkg-query -W -f '${source:Package}=${source:Version}' "$1"; }
mingw_source=$(source_version mingw-w64-common)
llvm_source=$(source_version clang-$llvm)
recipe=$(sha256sum "$self" | cut -c1-12)
key="$mingw_source $llvm_source $(source_version lld-$lld) $recipe"
cache=${OMBRIVOICE_TOOLCHAIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ombrivoice}
dir="$cache/$triple-$(printf '%s' "$key" | sha256sum | cut -c1-16)"
if [ -f "$dir/.ombrivoice-toolchain" ]; then echo "$dir"; exit 0; fi
mkdir -p "$cache"
# One build per toolchain at a time: a second run waits and then finds it made.
exec 9>"$cache/.lock-$triple"
flock 9
if [ -f "$dir/.ombrivoice-toolchain" ]; then echo "$dir"; exit 0; fi

echo "making the $triple toolchain in $dir ($key)" >&2
# What a killed build left behind: never used, since only a finished toolchain gets its name.
rm -rf "$cache/.build-$triple".*
work=$(mktemp -d "$cache/.build-$triple.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Runs one step with its output in a log, shown only when the step fails.
step() {
  local name=$1
  shift
  if ! "$@" >"$work/$name.log" 2>&1; then
    tail -n 40 "$work/$name.log" >&2
    echo "make-windows-arm-toolchain.sh: $name failed" >&2
    exit 1
  fi
}
stage="$work/toolchain"
mkdir -p "$stage/bin" "$stage/$triple/lib" "$stage/clang/lib/windows"
jobs=${OMBRIVOICE_TOOLCHAIN_JOBS:-2}

# The sources, from the Debian mirrors this machine's apt uses (deb-src lines of its own).
apt_dir="$work/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
debian_sources() {
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' 'Origin: Debian' |
    sort -u
}
if [ -z "$(debian_sources)" ]; then apt-get update -qq; fi
debian_sources | sed 's/^/deb-src /' >"$apt_dir/sources.list"
if [ ! -s "$apt_dir/sources.list" ]; then
  echo "make-windows-arm-toolchain.sh: apt knows no Debian mirror on this machine (run apt-get update)" >&2
  exit 1
fi
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root)
apt-get -qq "${apt_options[@]}" update
(cd "$work" && apt-get -qq "${apt_options[@]}" source --download-only "$mingw_source" "$llvm_source" >/dev/null)
tar -xjf "$work"/mingw-w64_*.orig.tar.bz2 -C "$work"
# Of llvm only what the runtimes build reads, without the test suites.
tar -xJf "$work"/llvm-toolchain-${llvm}_*.orig.tar.xz -C "$work" --no-wildcards-match-slash --wildcards \
  --exclude='*/libcxx/test' --exclude='*/libcxx/benchmarks' --exclude='*/compiler-rt/test' \
  'llvm-toolchain-*/'{compiler-rt,libunwind,libcxx,libcxxabi,runtimes,cmake,llvm/cmake,llvm/utils}
rm -f "$work"/*.orig.tar.*
mingw_src=$(find "$work" -maxdepth 1 -type d -name "mingw-w64-v*")
llvm_src=$(find "$work" -maxdepth 1 -type d -name "llvm-toolchain-${llvm}_*")

# The compiler drivers: clang with the target, this toolchain as its sysroot, a resource folder
# of its own (clang's headers, and the builtins built below) and lld-16 as its linker (lld-15
# gives the export table an ordinal base of 0 and an empty entry before the .def's ordinals).
write_driver() {
  local name=$1 clang=$2 extra=$3
  cat >"$stage/bin/$triple-$name" <<EOF
#!/bin/sh
root=\$(dirname "\$(dirname "\$(readlink -f "\$0")")")
exec $clang --target=$triple --sysroot="\$root" -resource-dir="\$root/clang" -fuse-ld=lld \\
  --ld-path=/usr/bin/ld.lld-$lld -rtlib=compiler-rt -unwindlib=libunwind \\
  -Wno-unused-command-line-argument $extra "\$@"
EOF
  chmod +x "$stage/bin/$triple-$name"
}
write_driver clang clang-$llvm ""
write_driver clang++ clang++-$llvm "-stdlib=libc++"
# windres: llvm's, which preprocesses with the first clang on PATH (llvm-windres-15 runs that
# one even when told another): this toolchain's bin/clang, given the mingw-w64 headers.
ln -s /usr/bin/clang-$llvm "$stage/bin/clang"
cat >"$stage/bin/$triple-windres" <<EOF
#!/bin/sh
root=\$(dirname "\$(dirname "\$(readlink -f "\$0")")")
PATH="\$root/bin:\$PATH" exec llvm-windres-$llvm --target=$triple -I "\$root/$triple/include" "\$@"
EOF
chmod +x "$stage/bin/$triple-windres"
ln -s "/usr/lib/llvm-$llvm/lib/clang/$(clang-$llvm -dumpversion)/include" "$stage/clang/include"
# Debian's mingw-w64 headers, copied so that libc++'s headers can be installed beside them.
cp -r /usr/share/mingw-w64/include "$stage/$triple/include"
tools=(AR=llvm-ar-$llvm RANLIB=llvm-ranlib-$llvm DLLTOOL=llvm-dlltool-$llvm NM=llvm-nm-$llvm
  STRIP=llvm-strip-$llvm)

# The CRT and import libraries, for msvcrt.dll as the other Windows builds use. On ARM the
# assembler takes '@' for a comment, so the SEH handler's '@except' is spelled '%except'.
sed -i 's/@except/%except/' "$mingw_src/mingw-w64-crt/crt/crtexe.c"
mkdir -p "$work/crt"
cd "$work/crt"
step crt-configure "$mingw_src/mingw-w64-crt/configure" --host="$triple" --prefix="$stage/$triple" \
  --with-default-msvcrt=msvcrt "${crt_flags[@]}" CC="$stage/bin/$triple-clang" "${tools[@]}"
step crt-build make -j"$jobs"
step crt-install make install
cd "$work"

cmake_common=(-G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows
  -DCMAKE_C_COMPILER="$stage/bin/$triple-clang" -DCMAKE_CXX_COMPILER="$stage/bin/$triple-clang++"
  -DCMAKE_AR=/usr/bin/llvm-ar-$llvm -DCMAKE_RANLIB=/usr/bin/llvm-ranlib-$llvm
  -DCMAKE_C_COMPILER_WORKS=ON -DCMAKE_CXX_COMPILER_WORKS=ON)

# compiler-rt's builtins, where clang looks for them in its resource folder.
step builtins-configure cmake -S "$llvm_src/compiler-rt/lib/builtins" -B "$work/builtins" "${cmake_common[@]}" \
  -DCMAKE_C_COMPILER_TARGET="$triple" -DCOMPILER_RT_DEFAULT_TARGET_ONLY=ON \
  -DCOMPILER_RT_USE_BUILTINS_LIBRARY=ON -DLLVM_CONFIG_PATH=
step builtins-build cmake --build "$work/builtins" -j"$jobs"
cp "$work/builtins/lib/windows/libclang_rt.builtins-$builtins_arch.a" "$stage/clang/lib/windows/"

# libunwind, libc++abi and libc++, static only: a program links them into itself.
step runtimes-configure cmake -S "$llvm_src/runtimes" -B "$work/runtimes" "${cmake_common[@]}" \
  -DCMAKE_INSTALL_PREFIX="$stage/$triple" -DCMAKE_CXX_COMPILER_TARGET="$triple" \
  -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" -DLLVM_PATH="$llvm_src/llvm" \
  -DLIBUNWIND_USE_COMPILER_RT=ON -DLIBUNWIND_ENABLE_SHARED=OFF \
  -DLIBCXXABI_USE_COMPILER_RT=ON -DLIBCXXABI_USE_LLVM_UNWINDER=ON -DLIBCXXABI_ENABLE_SHARED=OFF \
  -DLIBCXX_USE_COMPILER_RT=ON -DLIBCXX_ENABLE_SHARED=OFF -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON \
  -DLIBCXX_CXX_ABI=libcxxabi -DLIBCXX_INCLUDE_TESTS=OFF -DLIBCXX_INCLUDE_BENCHMARKS=OFF \
  -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=OFF -DLIBCXX_LIBDIR_SUFFIX= -DLIBCXXABI_LIBDIR_SUFFIX= \
  -DLIBUNWIND_LIBDIR_SUFFIX=
step runtimes-build cmake --build "$work/runtimes" -j"$jobs"
step runtimes-install cmake --install "$work/runtimes"

echo "$key" >"$stage/.ombrivoice-toolchain"
rm -rf "$dir"
mv "$stage" "$dir"
echo "$dir"
