#!/usr/bin/env bash
# Installs everything the build, the tests and the fixture forge need. Idempotent: a second run
# only checks what is already there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

ORT_PKG="com.github.asus4.onnxruntime"
ORT_VER="0.4.9"
ORT_INTEGRITY="sha512-BkzxduSZ9IkeDP6Q8lz2TFU2ie7hSSvS7ZIfzMooExoq0CNzJnuuGaUJ7IsojBgqO4ouD1jXah8OYyJbCN29Fg=="
ORT_DIR="$root/.deps/onnxruntime"

DEBS=(
  build-essential cmake ninja-build pkg-config git
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  libhwy-dev libstb-dev libkissfft-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libopencv-dev
  python3-numpy python3-onnx ffmpeg libonnx-testdata
  python3-pip python3-setuptools python3-wheel
  clang libclang-rt-14-dev clang-format
  espeak-ng
  chromium python3-aiohttp python3-pil python3-av
  haproxy python3-distributed

)

have_all_debs() {
  local p
  for p in "${DEBS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || return 1
  done
}

if have_all_debs; then
  echo "[setup] Debian packages present"
else
  echo "[setup] installing Debian packages"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${DEBS[@]}"
fi

# The machine's own Node.js carries npm; Debian's npm is only the fallback.
if ! command -v npm >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends npm
fi

if [ -f "$ORT_DIR/.complete" ] && [ "$(cat "$ORT_DIR/.complete")" = "$ORT_INTEGRITY" ]; then
  echo "[setup] ONNX Runtime $ORT_VER present"
else
  echo "[setup] fetching ONNX Runtime package $ORT_PKG@$ORT_VER"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && npm pack --silent "$ORT_PKG@$ORT_VER" >/dev/null)
  tgz=$(ls "$work"/*.tgz)
  got="sha512-$(openssl dgst -sha512 -binary "$tgz" | base64 -w0)"
  if [ "$got" != "$ORT_INTEGRITY" ]; then
    echo "[setup] integrity mismatch for $ORT_PKG@$ORT_VER: got $got, want $ORT_INTEGRITY" >&2
    exit 1
  fi
  hdr="package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers"
  tar xzf "$tgz" -C "$work" "$hdr" package/Plugins/Linux/x64/libonnxruntime.so
  rm -rf "$ORT_DIR"
  mkdir -p "$ORT_DIR/include" "$ORT_DIR/lib"
  cp "$work/$hdr"/*.h "$ORT_DIR/include/"
  cp "$work/package/Plugins/Linux/x64/libonnxruntime.so" "$ORT_DIR/lib/libonnxruntime.so.1"
  ln -sf libonnxruntime.so.1 "$ORT_DIR/lib/libonnxruntime.so"
  echo "$ORT_INTEGRITY" > "$ORT_DIR/.complete"
  echo "[setup] ONNX Runtime installed under $ORT_DIR"
fi

# The browser tests' driver (playwright-core, pinned with its lockfile) into tests/browser/node_modules.
browser_dir="$root/tests/browser"
if [ -f "$browser_dir/node_modules/.package-lock.json" ] &&
   cmp -s "$browser_dir/package-lock.json" "$browser_dir/node_modules/.ka-lock"; then
  echo "[setup] browser test packages present"
else
  echo "[setup] installing the browser test packages"
  (cd "$browser_dir" && npm ci --no-audit --no-fund --ignore-scripts)
  cp "$browser_dir/package-lock.json" "$browser_dir/node_modules/.ka-lock"
fi
