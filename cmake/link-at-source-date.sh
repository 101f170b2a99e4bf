#!/bin/sh
# Runs a link command with SOURCE_DATE_EPOCH set from the file that the build keeps it in:
#
#   link-at-source-date.sh <file> <command>...
set -e
SOURCE_DATE_EPOCH=$(cat "$1")
export SOURCE_DATE_EPOCH
shift
exec "$@"
