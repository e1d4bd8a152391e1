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
for f in lib/libka_core.so lib/libonnxruntime.so.1 include/ka/ka.h include/ka/ka_prior.h bin/ka \
         lib/pkgconfig/ka_core.pc lib/cmake/ka_core/ka_coreConfig.cmake; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
soname=$(readelf -d "$prefix/lib/libka_core.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libka_core.so.0 ] || { echo "soname: '$soname'"; exit 1; }

"$py" "$src/tools/forge/forge.py" bundle "$work/bundle" --background jpeg > /dev/null
"$py" "$src/tools/forge/forge.py" director-into "$work/bundle" --batch 1 > /dev/null
"$prefix/bin/ka" info "$work/bundle" > "$work/info.log" 2>&1 || { cat "$work/info.log"; exit 1; }

run() {  # run NAME BINARY: renders three frames and checks the PNG files
  local out=$work/out_$1
  mkdir -p "$out"
  "$2" "$work/bundle" "$out" b1 3 > "$work/$1.log" 2> "$work/$1.err" || { cat "$work/$1.err"; exit 1; }
  for i in 0 1 2; do
    head -c 8 "$out/frame_00000$i.png" | od -An -tx1 | grep -q "89 50 4e 47" || { echo "$1: frame $i is no PNG"; exit 1; }
  done
  echo "$1: ok"
}

# pkg-config
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cc -std=c99 -Wall -Wextra -Werror "$src/examples/idle_loop_png.c" $(pkg-config --cflags --libs ka_core) -lm \
   -o "$work/idle_loop_png_pc"
run pkg-config "$work/idle_loop_png_pc"

# find_package
cmake -S "$src/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" > "$work/examples.log"
cmake --build "$work/examples" > "$work/examples_build.log"
run find_package "$work/examples/idle_loop_png"

# The Python package installed with pip (from a copy: the build writes beside the sources) finds
# the installed library through pkg-config.
cp -r "$src/python" "$work/python_src"
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
PY
) || { cat "$work/py.err"; exit 1; }
echo "pip: ok"
