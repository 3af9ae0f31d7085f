# Sourced by tools/check and tools/bench.  find_interpreter NAME sets:
#   py        the interpreter: NAME on PATH (python3.13), or one that
#             tools/toolchain builds in the Debian 13 sandbox (python3.12,
#             python3.12-musl)
#   libc      glibc or musl, as the interpreter's SOABI says
#   compiler  CMake arguments that pick the C++ compiler for it: none for
#             glibc; the musl g++ of tools/toolchain for musl
#   runtime   environment settings the module needs at run time: for musl,
#             LD_LIBRARY_PATH to the musl g++'s libstdc++ and libgcc_s (set
#             it for the interpreter alone, never for the host's programs)
find_interpreter() {
  local name=$1 gxx_log="" gxx_pid="" cxx
  if [[ $name == *-musl ]]; then
    # The musl g++ takes longest to build the first time: start it now.
    gxx_log=$(mktemp)
    tools/toolchain musl-g++ >"$gxx_log" &
    gxx_pid=$!
  fi
  py=$(command -v "$name" || tools/toolchain "$name")
  libc=$("$py" -c 'import sysconfig; print("musl" if "musl" in sysconfig.get_config_var("SOABI") else "glibc")')
  compiler=()
  runtime=()
  if [ "$libc" = musl ]; then
    if [ -n "$gxx_pid" ]; then
      wait "$gxx_pid"
      cxx=$(cat "$gxx_log")
    else
      cxx=$(tools/toolchain musl-g++)
    fi
    compiler=(-DCMAKE_CXX_COMPILER="$cxx")
    runtime=(LD_LIBRARY_PATH="$(dirname "$("$cxx" -print-file-name=libstdc++.so.6)")")
  elif [ -n "$gxx_pid" ]; then
    wait "$gxx_pid"
  fi
  [ -z "$gxx_log" ] || rm -f "$gxx_log"
}
