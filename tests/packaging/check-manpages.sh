#!/bin/sh
# Each program's --help options against its manual page's OPTIONS section: an option one of them
# lacks is a user told wrong. Arguments: pairs of program and manual page source.
status=0
while [ $# -ge 2 ]; do
    program=$1 page=$2
    shift 2
    help=$(QT_QPA_PLATFORM=offscreen "$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
    man=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$page" | sed 's/\\-/-/g' |
        grep -o -- '--[a-z][a-z-]*' | sort -u)
    missing=$(printf '%s\n' "$help" | grep -vxF -e "$man")
    extra=$(printf '%s\n' "$man" | grep -vxF -e "$help")
    if [ -n "$missing$extra" ]; then
        echo "$(basename "$page"): not in the page: ${missing:-none}; not in --help: ${extra:-none}"
        status=1
    fi
done
exit $status
