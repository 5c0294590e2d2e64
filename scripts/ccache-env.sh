# Sourced by the scripts that build: with ccache installed, compiles are cached in
# ${XDG_CACHE_HOME:-~/.cache}/sonquarry-ccache, keyed by paths relative to the clone, so that a
# fresh clone on the same machine builds from the cache. Sets the array `cache` to the CMake options.
cache=()
if command -v ccache >/dev/null; then
  export CCACHE_DIR=${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/sonquarry-ccache}
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-6G}
  cache=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
