# The command line both tile pyramid drivers take, read by the one that
# sources this file (scripts/tiles-slurm.sh, scripts/tiles-parallel.sh):
#
#   DRIVER INPUT DIR N [engine options] [-- tiles options]
#
# Before sourcing, the driver sets `driver` (its name, for messages) and
# `engine` (what its engine options are for, in the usage line). Sets input,
# dir and tool (absolute paths, as other machines need them; an INPUT that
# is not a file here, a GDAL /vsi path say, is left as given; the program is
# HEIGHTMESH, default heightmesh on PATH), shards (N), engine_options and
# tiles_options; answers -h and --help, and exits 2 on a command line it
# cannot act on.
usage="usage: scripts/$driver.sh INPUT DIR N [$engine options] [-- tiles options]"
if [ "$#" -ge 1 ] && { [ "$1" = -h ] || [ "$1" = --help ]; }; then
  echo "$usage"
  exit 0
fi
if [ "$#" -lt 3 ]; then
  echo "$usage" >&2
  exit 2
fi
input=$1 dir=$2 shards=$3
shift 3
if ! [[ "$shards" =~ ^[0-9]+$ ]] || [ "$((10#$shards))" -lt 1 ]; then
  echo "$driver: N must be a positive whole number of shards, not '$shards'" >&2
  exit 2
fi
shards=$((10#$shards))

engine_options=()
while [ "$#" -gt 0 ] && [ "$1" != -- ]; do
  engine_options+=("$1")
  shift
done
[ "$#" -gt 0 ] && shift
tiles_options=("$@")

absolute() { case "$1" in /*) printf '%s' "$1" ;; *) printf '%s/%s' "$PWD" "$1" ;; esac; }
[ -e "$input" ] && input=$(absolute "$input")
dir=$(absolute "$dir")
while [ "${#dir}" -gt 1 ] && [ "${dir%/}" != "$dir" ]; do dir=${dir%/}; done
tool=${HEIGHTMESH:-heightmesh}
case "$tool" in */*) tool=$(absolute "$tool") ;; esac
