# Sourced by the build scripts: one ccache shared by every checkout on this machine, with
# paths taken relative to the checkout so that another clone hits the same entries.
top=${top:?}
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/ccache}
export CCACHE_BASEDIR=$top
export CCACHE_NOHASHDIR=1
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G}
