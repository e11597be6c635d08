# Sourced by the scripts: the one list of what the build, the tests and the demo need from
# Debian, and the check that the commands they call are on PATH.

# Every command the scripts and the CMake build call, with the package that puts it on PATH.
# (wine64 alone leaves wine, wineserver, wineboot and winepath off PATH: the package wine adds them.)
ffm_command_packages=(
  wine=wine wineserver=wine wineboot=wine winepath=wine
  Xvfb=xvfb
  cmake=cmake ctest=cmake make=make
  x86_64-w64-mingw32-gcc-posix=gcc-mingw-w64-x86-64-posix
  x86_64-w64-mingw32-g++-posix=g++-mingw-w64-x86-64-posix
  x86_64-w64-mingw32-windres=binutils-mingw-w64-x86-64
  clang-format=clang-format
)
# Needed without a command of their own: the 64-bit Wine loader, GoogleTest's sources, headers.
ffm_other_packages=(wine64 googletest libcli11-dev nlohmann-json3-dev)
ffm_other_packages+=(python3-xlrd libole-storage-lite-perl) # real compound documents the compound plug-in's tests read

# Prints every package, each once.
ffm_packages() {
  local entry
  {
    for entry in "${ffm_command_packages[@]}"; do echo "${entry#*=}"; done
    printf '%s\n' "${ffm_other_packages[@]}"
  } | sort -u
}

# ffm_check_commands [command...]: checks the given commands (default: all of the list) and names
# each missing one with the package that brings it. Returns 1 when one is missing.
ffm_check_commands() {
  local entry name status=0
  for entry in "${ffm_command_packages[@]}"; do
    name=${entry%%=*}
    if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then
      continue
    fi
    command -v "$name" >/dev/null 2>&1 && continue
    printf 'missing command: %s (Debian package %s; scripts/setup installs it)\n' "$name" "${entry#*=}" >&2
    status=1
  done
  return "$status"
}
