#!/usr/bin/env bash
# The main job: installs what is missing, builds, then demonstrates the wizard in a fresh Wine
# prefix: a whole installation through its window, the console's health answer, the files,
# service and registry values it left, and the uninstallation that Installed apps starts. Every
# page is written as a screenshot to a folder that the script names at the end.
#
#   ./scripts/demo.sh             the wizard is driven on a virtual display (Xvfb)
#   ./scripts/demo.sh --display   the wizard opens on your own display ($DISPLAY) for you to use;
#                                 what it installed is shown when it closes
#   ./scripts/demo.sh --dark      as the first, in a dark high-contrast colour scheme (yellow text
#                                 on black), as a user of such a scheme sees every page
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
own_display=""
dark=""
case "${1:-}" in
"") ;;
--display) own_display=${DISPLAY:?"--display needs DISPLAY set"} ;;
--dark) dark=1 ;;
*) echo "usage: demo.sh [--display | --dark]" >&2; exit 2 ;;
esac

# shellcheck source=../tests/harness/prefix.sh
. "$root/tests/harness/prefix.sh"
demo=$build/demo
prefix=$demo/prefix
shots=$demo/screenshots
template_maker=""
cleanup() {
    [ -z "$template_maker" ] || wait "$template_maker" || true
    [ -d "$prefix" ] && stop_server "$prefix"
    rm -rf "$prefix"
    [ -n "$own_display" ] || "$root/tests/harness/harness" "$demo" display-stop >/dev/null
}
trap cleanup EXIT

"$root/scripts/install-deps.sh"
# Wine makes the prefix template (once per build folder) while the compiler works; the packer's
# first run in the build waits for it.
ensure_template "$build/wine" &
template_maker=$!
# Only what the demonstration runs: the wizard (with the packer and the sample console it
# carries), the driver and the test shim.
"$root/scripts/build.sh" QuellmarkConsoleSetup wizard_demo
wait "$template_maker" || { template_maker=""; echo "demo.sh: no Wine prefix template" >&2; exit 1; }
template_maker=""
wizard=$build/resources/QuellmarkConsoleSetup.exe
echo
echo "Built $wizard ($(( $(stat -c %s "$wizard") / 1024 )) KiB): the setup and uninstall wizard, one file with its console package"

rm -rf "$prefix" "$shots"
mkdir -p "$demo" "$shots"
copy_prefix "$build/wine/template" "$prefix"
export WINEPREFIX=$prefix

if [ -n "$own_display" ]; then
    export DISPLAY=$own_display
    start_server_locked "$prefix" 0
    echo "The wizard opens on $DISPLAY in a fresh prefix; the summary follows when it closes."
    wine "$build/tests/wizard_demo.exe" --open "$(winepath -w "$wizard")"
    exit 0
fi

"$root/tests/harness/harness" "$demo" display-start >/dev/null
DISPLAY=$(cat "$demo/display")
export DISPLAY
start_server_locked "$prefix" 0
if [ -n "$dark" ]; then
    # The user's colours, which every program reads when it starts.
    for colour in "Window 0 0 0" "WindowText 255 255 0" "ButtonFace 0 0 0" "ButtonText 255 255 0"; do
        wine reg add "HKCU\\Control Panel\\Colors" /v "${colour%% *}" /d "${colour#* }" /f >/dev/null 2>&1
    done
fi
status=0
wine "$build/tests/wizard_demo.exe" "$(winepath -w "$wizard")" "$(winepath -w "$shots")" || status=$?
for picture in "$shots"/*.bmp; do
    [ -e "$picture" ] && convert "$picture" "${picture%.bmp}.png" && rm "$picture"
done
echo
echo "Screenshots of every page: $shots"
exit $status
