#!/usr/bin/env bash
# Checks that two builds of the tool, and one build at different thread
# counts, write byte-identical files for the same scenes: the built-in demo
# (both passes, OBJ, with the pictures of both and the volumes of the Space 0
# pass) and a Mode 2 run that writes grid cache files, PLY meshes and
# volumes, then its Mode 3 playback. Runs: TOOL_A on one thread (the
# reference), TOOL_B on 1, 2 and 3 threads.
#   scripts/compare_builds.sh TOOL_A TOOL_B
set -euo pipefail

tool_a=$(realpath "$1")
tool_b=$(realpath "$2")
work=$(mktemp -d /tmp/glomora_compare_XXXXXX)
trap 'rm -rf "$work"' EXIT

cat >"$work/cache.json" <<'SCENE'
{"name": "drip", "frames": [1, 12],
 "parameters": {"Space": 0, "Mode": 2, "Cache_filename": "cache/drip.grd", "Viscosity": 1.5,
                "Resolution_X": 40, "Resolution_Y": 40, "Resolution_Z": 40,
                "User_normals": true, "UVspace": true, "Geometry_smooth_active": true},
 "sources": [{"type": "sphere", "radius": 0.8},
             {"type": "cube", "length": 0.6, "transform": {"translation": [0.9, 0, 0], "rotation": [20, 30, 0]}},
             {"type": "cloud", "points": [[0, 1, 0], [0.2, 1.1, 0], [-0.1, 0.9, 0.1]],
              "transform": {"translation": {"keys": [[1, [0, 0.5, 0]], [12, [0, -1.5, 0]]]}}}]}
SCENE

# side: tool and thread count
declare -A side_tool=([a]=$tool_a [b]=$tool_b [c]=$tool_b [d]=$tool_b)
declare -A side_threads=([a]=1 [b]=1 [c]=2 [d]=3)
for side in a b c d; do
  tool=${side_tool[$side]}
  threads=${side_threads[$side]}
  mkdir -p "$work/$side/cache"
  cp "$work/cache.json" "$work/$side/"
  (
    cd "$work/$side"
    "$tool" demo --quiet --threads "$threads" --output 'demo/{name}.####.obj' --volume 'vol/{name}.####.vdb' \
      --preview 'pic/{name}.####.png' --preview-size 256 >/dev/null 2>&1
    "$tool" run cache.json --quiet --threads "$threads" --output 'mode2/drip.####.ply' --volume 'vol/drip.####.vdb' >/dev/null
    "$tool" run cache.json --quiet --threads "$threads" --set Mode=3 --output 'mode3/drip.####.ply' >/dev/null
  )
done

files=$(cd "$work/a" && find demo mode2 mode3 cache vol pic -type f | sort)
count=$(echo "$files" | wc -l)
differ=0
for side in b c d; do
  label="${side_tool[$side]} on ${side_threads[$side]} thread(s)"
  for f in $files; do
    if ! cmp -s "$work/a/$f" "$work/$side/$f"; then
      echo "compare_builds: $f differs ($label)" >&2
      differ=$((differ + 1))
    fi
  done
  extra=$(cd "$work/$side" && find demo mode2 mode3 cache vol pic -type f | sort)
  if [ "$files" != "$extra" ]; then
    echo "compare_builds: $label wrote a different set of files" >&2
    differ=$((differ + 1))
  fi
done
if [ "$count" -lt 130 ]; then
  echo "compare_builds: only $count files written" >&2
  differ=$((differ + 1))
fi
if [ $differ -ne 0 ]; then exit 1; fi
echo "compare_builds: $count files byte-identical between $tool_a on one thread and $tool_b on 1, 2 and 3 threads"
