#!/bin/sh
# X-Hollowmere-FileManager=1
# X-Hollowmere-Program=@PROGRAM@
# Added by Hollowmere (Options > File Manager Context Menu). Turning that option off deletes this file.
p=$(printf '%s\n' "${NAUTILUS_SCRIPT_SELECTED_FILE_PATHS:-$CAJA_SCRIPT_SELECTED_FILE_PATHS}" | head -n 1)
[ -n "$p" ] || p=$PWD
[ -d "$p" ] || p=$(dirname -- "$p")
exec '@PROGRAM@' "$p"
