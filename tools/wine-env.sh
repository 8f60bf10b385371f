#!/bin/sh
# The wine environment of the Windows build, said once: the prefix in the
# build folder (unless WINEPREFIX is set), 64-bit, no wine messages unless
# WINEDEBUG asks for them, no Mono or Gecko installer and no menu entries,
# no display.
#
#   . tools/wine-env.sh                  sets it for the rest of a script
#                                        run from the source folder
#                                        (tools/check-windows.sh, e2e-wine.sh)
#   tools/wine-env.sh COMMAND [ARG...]   runs COMMAND in it: the emulator
#                                        through which CTest runs the Windows
#                                        executables (cmake/mingw-w64.cmake)
case $0 in
*wine-env.sh) source_dir=$(cd "$(dirname "$0")/.." && pwd) ;;
*) source_dir=$PWD ;;
esac
WINEPREFIX=${WINEPREFIX:-$source_dir/build/windows/wineprefix}
WINEARCH=win64
WINEDEBUG=${WINEDEBUG:--all}
WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY

case $0 in
*wine-env.sh) exec "$@" ;;
esac
