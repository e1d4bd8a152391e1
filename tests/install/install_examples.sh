#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, builds the example hosts against it once through
# pkg-config and once through find_package(ka_core), and runs them on a forged bundle with no
# LD_LIBRARY_PATH: the installed library must find ONNX Runtime beside itself.
#   install_examples.sh BUILD_DIR SOURCE_DIR PYTHON
set -euo pipefail
build=$1 src=$2 py=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > "$work/install.log"
for f in lib/libka_core.so lib/libonnxruntime.so.1 include/ka/ka.h include/ka/ka_common.h include/ka/ka_prior.h include/ka/ka_utt.h \
         include/ka/ka_stream.h bin/ka \
         lib/pkgconfig/ka_core.pc lib/cmake/ka_core/ka_coreConfig.cmake; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
soname=$(readelf -d "$prefix/lib/libka_core.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libka_core.so.0 ] || { echo "soname: '$soname'"; exit 1; }

"$py" "$src/tools/forge/forge.py" bundle "$work/bundle" --background jpeg > /dev/null
"$py" "$src/tools/forge/forge.py" director-into "$work/bundle" --batch 1 > /dev/null
"$prefix/bin/ka" info "$work/bundle" > "$work/info.log" 2>&1 || { cat "$work/info.log"; exit 1; }
# For the speech examples: the offline director and FCA model, the audio encoder, a motion
# directory, and one second of 16-bit speech-like audio as a WAV file.
"$py" "$src/tools/forge/forge.py" director-steady "$work/bundle" --render-key > /dev/null
"$py" "$src/tools/forge/forge.py" a2x "$work/bundle" "$work/w2v" --legacy-only > /dev/null
"$py" "$src/tools/forge/forge.py" motion "$work/bundle/motion" --nt 6 --xs-target "$work/bundle/xs_target.bin" > /dev/null
"$py" - "$work/speech.wav" <<'PY'
import sys, wave
import numpy as np
t = np.arange(16000) / 16000.0
pcm = np.sin(np.pi * (t % 0.25) / 0.25) ** 2 * (6000 * np.sin(2 * np.pi * 140 * t) + 3000 * np.sin(2 * np.pi * 280 * t))
with wave.open(sys.argv[1], "wb") as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(16000)
    w.writeframes(pcm.astype("<i2").tobytes())
PY

run() {  # run NAME BINARY: renders three frames and checks the PNG files
  local out=$work/out_$1
  mkdir -p "$out"
  "$2" "$work/bundle" "$out" b1 3 > "$work/$1.log" 2> "$work/$1.err" || { cat "$work/$1.err"; exit 1; }
  for i in 0 1 2; do
    head -c 8 "$out/frame_00000$i.png" | od -An -tx1 | grep -q "89 50 4e 47" || { echo "$1: frame $i is no PNG"; exit 1; }
  done
  echo "$1: ok"
}

# offline_clip: the 25 frames of the second of speech, 160 x 120 RGB each.
run_clip() {  # run_clip NAME BINARY
  "$2" "$work/bundle" "$work/w2v/w2v.onnx" "$work/speech.wav" "$work/$1.rgb" > "$work/$1_clip.log" 2> "$work/$1_clip.err" \
    || { cat "$work/$1_clip.err"; exit 1; }
  [ "$(stat -c %s "$work/$1.rgb")" = $((25 * 160 * 120 * 3)) ] || { echo "$1: offline_clip wrote the wrong size"; exit 1; }
  echo "$1: offline_clip ok"
}

# pkg-config
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
for example in idle_loop_png offline_clip realtime_utt; do
  cc -std=c99 -Wall -Wextra -Werror "$src/examples/$example.c" $(pkg-config --cflags --libs ka_core) -lm \
     -o "$work/${example}_pc"
done
run pkg-config "$work/idle_loop_png_pc"
run_clip pkg-config "$work/offline_clip_pc"

# find_package
cmake -S "$src/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" > "$work/examples.log"
cmake --build "$work/examples" > "$work/examples_build.log"
run find_package "$work/examples/idle_loop_png"
run_clip find_package "$work/examples/offline_clip"

# realtime_utt, once: the second of speech in 20 ms pushes spoken as 25 speech frames, then idle.
"$work/examples/realtime_utt" "$work/bundle" "$work/bundle/motion" "$work/speech.wav" "$work/live.rgb" \
  > "$work/live.log" 2> "$work/live.err" || { cat "$work/live.err"; exit 1; }
grep -qx "speech frames 25" "$work/live.log" || { cat "$work/live.log"; exit 1; }
cat "$work/live.log"
echo "realtime_utt: ok"

# The Python package installed with pip (from a copy: the build writes beside the sources) finds
# the installed library through pkg-config, and carries `ka serve`'s page.
cp -rL "$src/python" "$work/python_src"
"$py" -m pip install --quiet --no-build-isolation --no-deps --no-index --target "$work/py" "$work/python_src" \
  > "$work/pip.log" 2>&1 || { cat "$work/pip.log"; exit 1; }
(cd "$work" && unset KA_CORE_LIBRARY && PYTHONPATH="$work/py" "$py" - "$work/bundle" "$prefix" <<'PY' 2> "$work/py.err"
import os, sys
import ka_core
from ka_core import _lib
bundle, prefix = sys.argv[1], sys.argv[2]
with ka_core.Context(bundle, "b1", threads=1) as ctx:
    assert ctx.render_drive_rgba(0).shape == (ctx.height, ctx.width, 4)
found = os.path.realpath(_lib._find_library())
assert found.startswith(os.path.realpath(prefix)), found
from ka_core.serve.server import WEB_DIR
for name in ("index.html", "app.js", "style.css"):
    assert (WEB_DIR / name).is_file(), WEB_DIR / name
assert os.path.realpath(WEB_DIR).startswith(os.path.realpath(os.environ["PYTHONPATH"])), WEB_DIR
PY
) || { cat "$work/py.err"; exit 1; }
echo "pip: ok"
