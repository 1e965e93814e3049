#!/bin/sh
# Keeps the marks of this pack's options, the way Varimond expects an option's installer to:
# called by an option's script, in the option's folder, when it installs the option, it
#
#   - writes the option's Selected.ini, so that a theme saved now records the option;
#   - sets the option's own OptionMode to its selected state (2 becomes 3, 4 becomes 5);
#   - removes the Selected.ini of every other option of its group and sets their modes to
#     the not-selected state (3 becomes 2, 5 becomes 4).
#
# The group is found as Varimond finds it: the nearest folder, from the option itself up to
# its top-level folder, whose options.ini says [LinkChildren] OptionLinkChildren=1; without
# one, the option's parent folder. A top-level option has no group. Only the options (leaf
# folders) below the group's folder are cleared; folders whose names begin with a dot are
# left alone. The Options folder is the folder above the one that holds this file.
#
# Usage, from an option's RunMe.sh:   sh "../../.pack/keep-marks.sh"

here=$(pwd -P) || exit 1
root=$(cd "$(dirname "$0")/.." && pwd -P) || exit 1
case "$here" in
"$root"/*) ;;
*)
    echo "keep-marks: $here is not an option folder of $root" >&2
    exit 1
    ;;
esac

# ini_value FILE SECTION KEY: the key's value (names in any case), empty when missing.
ini_value() {
    [ -f "$1" ] || return 0
    awk -v want_section="$2" -v want_key="$3" '
        NR == 1 { sub(/^\357\273\277/, "") }
        { sub(/\r$/, "") }
        /^[ \t]*\[/ {
            s = $0; gsub(/^[ \t]*\[|\][ \t]*$/, "", s)
            in_section = (tolower(s) == tolower(want_section)); next
        }
        in_section && index($0, "=") > 0 {
            k = substr($0, 1, index($0, "=") - 1); gsub(/^[ \t]+|[ \t]+$/, "", k)
            if (tolower(k) == tolower(want_key) && !found) {
                v = substr($0, index($0, "=") + 1); gsub(/^[ \t]+|[ \t]+$/, "", v)
                found = 1; print v
            }
        }' "$1"
}

# set_mode FOLDER MODE: writes [Mode] OptionMode=MODE into the folder's options.ini, keeping
# every other line (and CRLF line ends); the file is replaced in one rename.
set_mode() {
    ini="$1/options.ini"
    tmp="$1/.options.ini.$$"
    if [ -f "$ini" ]; then src="$ini"; else src=/dev/null; fi
    awk -v mode="$2" '
        /\r$/ { cr = "\r" }
        {
            line = $0; sub(/\r$/, "", line)
            if (NR == 1) sub(/^\357\273\277/, "", line)
            if (line ~ /^[ \t]*\[/) {
                s = line; gsub(/^[ \t]*\[|\][ \t]*$/, "", s)
                in_mode = (tolower(s) == "mode")
                print $0
                if (in_mode && !done) { print "OptionMode=" mode cr; done = 1 }
                next
            }
            if (in_mode && index(line, "=") > 0) {
                k = substr(line, 1, index(line, "=") - 1); gsub(/^[ \t]+|[ \t]+$/, "", k)
                if (tolower(k) == "optionmode") next
            }
            print $0
        }
        END { if (!done) { print "[Mode]" cr; print "OptionMode=" mode cr } }' "$src" >"$tmp" &&
        mv -f "$tmp" "$ini"
}

# Selected and not-selected forms of the two selectable kinds; other modes stay as they are.
selected_form() {
    case "$1" in 2 | 3) echo 3 ;; 4 | 5) echo 5 ;; *) echo "$1" ;; esac
}
cleared_form() {
    case "$1" in 2 | 3) echo 2 ;; 4 | 5) echo 4 ;; *) echo "$1" ;; esac
}

linked() {
    v=$(ini_value "$1/options.ini" LinkChildren OptionLinkChildren)
    case "$v" in '' | *[!0-9]*) return 1 ;; esac
    [ "$v" -ne 0 ]
}

# The group's folder.
group=
dir=$here
while [ "$dir" != "$root" ]; do
    if linked "$dir"; then
        group=$dir
        break
    fi
    [ "$(dirname "$dir")" = "$root" ] && break
    dir=$(dirname "$dir")
done
if [ -z "$group" ] && [ "$(dirname "$here")" != "$root" ]; then
    group=$(dirname "$here")
fi

# The other options of the group lose their marks.
if [ -n "$group" ]; then
    find "$group" -mindepth 1 -name '.*' -prune -o -type d -print | while IFS= read -r other; do
        [ "$other" = "$here" ] && continue
        # Only leaf folders are options a group clears.
        if [ -n "$(find "$other" -mindepth 1 -maxdepth 1 -type d ! -name '.*' -print)" ]; then
            continue
        fi
        rm -f "$other/Selected.ini"
        [ -f "$other/options.ini" ] || continue
        mode=$(ini_value "$other/options.ini" Mode OptionMode)
        new=$(cleared_form "$mode")
        [ "$new" != "$mode" ] && set_mode "$other" "$new"
    done
fi

# This option is selected.
mode=$(ini_value "$here/options.ini" Mode OptionMode)
new=$(selected_form "$mode")
[ "$new" != "$mode" ] && set_mode "$here" "$new"
printf '[Mode]\nSelected=1\n' >"$here/Selected.ini"
exit 0
