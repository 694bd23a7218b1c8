#!/usr/bin/env bash
# The package as a user installs it: `pip install --no-build-isolation .` into a fresh virtual
# environment that sees this machine's torch, then, from another folder, `import vrel` and the
# README's Python examples; the C example built against the installed headers and library
# through find_package(vrel) and through pkg-config, and through find_package against a plain
# `cmake --install` of the Release build (when build/release exists).
#
# The packaged build is Release without tests, examples or -Werror, in build/wheel (kept, so a
# second run only rebuilds what changed), through ccache when it is installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH

# No pip of its own: the machine's pip (seen through the system site packages) installs into the
# environment it runs in, and venv needs no ensurepip that way.
"$python" -m venv --system-site-packages --without-pip "$work/venv"
venv_python=$work/venv/bin/python
settings=()
if command -v ccache >/dev/null 2>&1; then
  settings+=(-C cmake.define.CMAKE_C_COMPILER_LAUNCHER=ccache
             -C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)} \
  "$venv_python" -m pip install -q --no-index --no-deps --no-build-isolation "${settings[@]}" \
    "$root"

cd "$work"
package=$("$venv_python" -c "import os, vrel; print(os.path.dirname(vrel.__file__))")
case "$package" in
  "$work"/venv/*) ;;
  *) echo "packaging: vrel was imported from $package, not from the virtual environment"; exit 1 ;;
esac
# The README's examples name files of the repository (the demo's mesh) by relative paths.
mkdir -p examples/demo && ln -sfn "$root/examples/demo/data" examples/demo/data
"$venv_python" - "$root/README.md" <<'PY'
import contextlib, io, re, sys
import vrel

assert vrel.__version__, "vrel.__version__ is empty"
blocks = re.findall(r"```python\n(.*?)```", open(sys.argv[1]).read(), flags=re.S)
assert len(blocks) >= 2, "the README lost its Python examples"
with contextlib.redirect_stdout(io.StringIO()):
    for block in blocks:
        exec(compile(block, "README.md", "exec"), {})
print(f"packaging: vrel {vrel.__version__} imported and the README examples ran")
PY
test -f fitted.ply

# The C example must succeed and print its gradient line.
example_runs() {
  local output
  output=$("$1") && grep -qF "d area / d vertex 1: (0.5, -0.5, 0)" <<<"$output"
}

cmake -S "$root/tests/packaging/consumer" -B consumer -DCMAKE_PREFIX_PATH="$package" >/dev/null
cmake --build consumer >/dev/null
example_runs ./consumer/mesh_normals
echo "packaging: find_package(vrel) from the wheel built and ran the C example"

flags=$(PKG_CONFIG_PATH="$package/lib/pkgconfig" pkg-config --cflags --libs vrel)
# shellcheck disable=SC2086
cc "$root/examples/mesh_normals.c" $flags -o mesh_normals_pc
example_runs ./mesh_normals_pc
echo "packaging: pkg-config vrel built and ran the C example"

if [ -f "$root/build/release/CMakeCache.txt" ]; then
  cmake --install "$root/build/release" --prefix "$work/prefix" >/dev/null
  cmake -S "$root/tests/packaging/consumer" -B consumer-prefix \
    -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
  cmake --build consumer-prefix >/dev/null
  example_runs ./consumer-prefix/mesh_normals
  flags=$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs vrel)
  # shellcheck disable=SC2086
  cc "$root/examples/mesh_normals.c" $flags -Wl,-rpath,"$work/prefix/lib" -o mesh_normals_prefix
  example_runs ./mesh_normals_prefix
  echo "packaging: a cmake --install prefix serves find_package(vrel) and pkg-config"
fi
