#!/usr/bin/env bash
# The product's folders form layers that only look down: app on top, then ui and engine side by
# side, then core, package and windows, then common. Fails, naming the line, when a file includes
# a header of a folder that its own folder may not use.
set -u
cd "$(dirname "$0")/.."
declare -A allowed=(
    [common]=""
    [core]="common"
    [package]="common"
    [windows]="common"
    [engine]="common package windows"
    [ui]="common"
    [app]="common core engine ui"
)
status=0
for folder in "${!allowed[@]}"; do
    while IFS= read -r hit; do
        used=${hit#*#include \"}
        used=${used%%/*}
        [ "$used" = "$folder" ] && continue
        case " ${allowed[$folder]} " in *" $used "*) continue ;; esac
        echo "layers: $hit ($folder may use: ${allowed[$folder]:-nothing})"
        status=1
    done < <(grep -rnE '#include "[a-z_]+/' "$folder" --include='*.cpp' --include='*.h' --include='*.in')
done
[ $status -eq 0 ] && echo "layers: every include looks down"
exit $status
