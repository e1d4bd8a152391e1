#!/usr/bin/env bash
# Soak: an utterance session driven in real time (random speech, silences, ends, interrupts, pulls)
# and a `ka serve` with two scripted visitors, for MINUTES minutes. Prints resident memory, open
# descriptors and threads of both processes every minute and fails when any grew after the warm-up.
#
#   scripts/soak.sh MINUTES [BUILD_DIR]      (BUILD_DIR: build; an address-sanitizer build works too)
#
# Not part of `make test`. KA_SOAK_PORT picks the server's port (default: a free one).
set -euo pipefail

minutes=${1:?usage: scripts/soak.sh MINUTES [BUILD_DIR]}
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${2:-$src/build}" && pwd)
py=${KA_PYTHON:-/usr/bin/python3}
ka="$build/tools/ka"
lib=$(ls "$build"/libka_core.so* 2>/dev/null | head -n 1)
[[ -x "$ka" && -n "$lib" ]] || { echo "soak: no ka tool or library in $build (build it first)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/ka_soak.XXXXXX")
serve_pid=
cleanup() {
  if [[ -n "$serve_pid" ]]; then
    kill "$serve_pid" 2>/dev/null || true
    wait "$serve_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A sanitizer build's library loads into Python with its runtime first. Python's own allocations
# are not ours, so leak reports stay off; growth is what the soak measures.
san=(env)
if grep -q '^KA_SANITIZE:STRING=.*address' "$build/CMakeCache.txt" 2>/dev/null; then
  san=(env "LD_PRELOAD=$(gcc -print-file-name=libasan.so)"
       "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:quarantine_size_mb=16:malloc_context_size=8"
       "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  echo "soak: address-sanitizer build"
fi

echo "soak: forging the bundle in $work"
"$py" "$src/tools/forge/forge.py" bundle "$work/b" >"$work/forge.log" 2>&1
"$py" "$src/tools/forge/forge.py" director-into "$work/b" >>"$work/forge.log" 2>&1
"$py" "$src/tools/forge/forge.py" motion "$work/b/motion" --nt 6 --xs-target "$work/b/xs_target.bin" \
  >>"$work/forge.log" 2>&1

port=${KA_SOAK_PORT:-$("$py" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')}
"${san[@]}" KA_PYTHON="$py" "$ka" serve "$work/b" --motion "$work/b/motion" --port "$port" --threads 1 --max-sessions 2 \
  >"$work/serve.log" 2>&1 &
serve_pid=$!
for _ in $(seq 600); do
  if "$py" -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/status', timeout=1)" 2>/dev/null; then
    break
  fi
  kill -0 "$serve_pid" 2>/dev/null || { cat "$work/serve.log" >&2; echo "soak: ka serve died" >&2; exit 1; }
  sleep 0.5
done
echo "soak: ka serve (pid $serve_pid) on port $port; $minutes minute(s)"

status=0
"${san[@]}" KA_CORE_LIBRARY="$lib" PYTHONPATH="$src/python" "$py" "$src/scripts/soak.py" --minutes "$minutes" \
  --bundle "$work/b" --motion "$work/b/motion" --serve-pid "$serve_pid" --port "$port" 2>"$work/session.log" ||
  status=$?
kill -0 "$serve_pid" 2>/dev/null || { echo "soak: ka serve died during the soak" >&2; status=1; }
for log in "$work/session.log" "$work/serve.log"; do
  if grep -q "ERROR: AddressSanitizer\|runtime error:\|Traceback" "$log"; then
    grep -A40 "ERROR: AddressSanitizer\|runtime error:\|Traceback" "$log" >&2
    status=1
  fi
done
[[ $status -eq 0 ]] && echo "soak: PASS" || echo "soak: FAIL" >&2
exit $status
