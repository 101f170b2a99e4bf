#!/usr/bin/env bash
# The main job: installs what is missing, builds every program and says what was built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}

"$root/scripts/build.sh"

size() { printf '%8d KiB' $(( $(stat -c %s "$1") / 1024 )); }
package=$build/resources/QuellmarkConsoleSetup.package/package.qmpack

echo
echo "Built in $build (Windows x64, each program one statically linked file):"
echo "  $(size "$build/resources/QuellmarkConsoleSetup.exe")  resources/QuellmarkConsoleSetup.exe   the setup and uninstall wizard"
echo "  $(size "$build/tools/packer/qmpack.exe")  tools/packer/qmpack.exe               packs, lists and verifies console packages"
echo "  $(size "$build/sample-console-folder/QuellmarkConsoleService.exe")  sample-console-folder/...Service.exe  the sample console's service"
echo "  $(size "$build/sample-console-folder/runtime/python.exe")  sample-console-folder/runtime/python.exe  its interpreter stand-in"
echo "  $(size "$build/benchmarks/make_reference_console.exe")  benchmarks/make_reference_console.exe  writes the reference-size console"
tests=$(find "$build/tests" -maxdepth 1 -name '*_test.exe' | wc -l)
echo "  and $tests test programs in tests/ (run them with ./scripts/test.sh)"

echo
echo "The package inside the wizard (RCDATA 101), verified by the packer:"
"$root/tests/harness/wine-run" "$build/wine" "$build/tools/packer/qmpack.exe" verify "$package" 2>&1 | sed 's/^/  /'
"$root/tests/harness/harness" "$build/wine" stop >/dev/null 2>&1 || true
