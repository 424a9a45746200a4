#!/usr/bin/env bash
# vellumix-cli's bash completion: what it offers for typed lines, and that it offers exactly the
# commands, options, formats and bus schemes the built program accepts.
#   completion_test.sh VELLUMIX_CLI COMPLETION_SCRIPT
# Exits 77 (skipped) without bash-completion, whose helpers the script uses.
set -uo pipefail
cli=$(realpath "$1")
script=$(realpath "$2")
[[ -x $cli ]] || { echo "FAIL: $1 is not a program"; exit 1; }
lib=/usr/share/bash-completion/bash_completion
if [[ ! -r $lib ]]; then
    echo "SKIP: $lib is missing (Debian package bash-completion)"
    exit 77
fi
# shellcheck disable=SC1090
source "$lib"
# shellcheck disable=SC1090
source "$script"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scenarios"
touch "$work/scenarios/bench.json" "$work/scenarios/notes.txt" "$work/shot.png"
cd "$work" || exit 1

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Splits the line as readline does (at blanks, and around the word-break characters = and :),
# runs the completion with the cursor at the end and prints the candidates sorted, one a line.
complete_line() {
    local line=$1 token
    COMP_WORDS=()
    for token in $line; do
        while [[ $token =~ ^([^=:]*)([=:]+)(.*)$ ]]; do
            [[ -n ${BASH_REMATCH[1]} ]] && COMP_WORDS+=("${BASH_REMATCH[1]}")
            COMP_WORDS+=("${BASH_REMATCH[2]}")
            token=${BASH_REMATCH[3]}
        done
        [[ -n $token ]] && COMP_WORDS+=("$token")
    done
    [[ $line == *" " || ${line: -1} == [=:] ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    _vellumix_cli vellumix-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
}

# --- Typed lines ----------------------------------------------------------------------------------
# line | expected candidates, blank-separated (after the colon where readline breaks the word)
cases=(
    "vellumix-cli |capture identify query scan"
    "vellumix-cli c|capture"
    "vellumix-cli -|--bus --help --version"
    "vellumix-cli --bus |gpib gpib: prologix: sim sim: usbtmc usbtmc: vxi11:"
    "vellumix-cli --bus v|vxi11:"
    "vellumix-cli --bus s|sim sim:"
    "vellumix-cli --bus=g|gpib gpib:"
    "vellumix-cli --bus sim:scen|scenarios"
    "vellumix-cli --bus sim:scenarios/|scenarios/bench.json"
    "vellumix-cli --bus gpib:1|1 10 11 12 13 14 15"
    "vellumix-cli --bus sim capture --f|--format"
    "vellumix-cli capture --format |BMP BMPCOLOR PCX PCXCOLOR PNG TIFF"
    "vellumix-cli capture --format=PC|PCX PCXCOLOR"
    "vellumix-cli capture -o sh|shot.png"
    "vellumix-cli capture --output=sh|shot.png"
    "vellumix-cli capture --count |"
    "vellumix-cli query --|--address --bus --help"
    "vellumix-cli query |"
    "vellumix-cli scan --|--bus --help"
    "vellumix-cli --bus sim identify --e|--expect"
    "vellumix-cli bogus --|"
)
for entry in "${cases[@]}"; do
    line=${entry%%|*}
    want=$(tr ' ' '\n' <<<"${entry#*|}" | sed '/^$/d' | sort)
    got=$(complete_line "$line")
    [[ $got == "$want" ]] || fail "\"$line\": offered [$(echo $got)], expected [$(echo $want)]"
done

# --- In step with the program ---------------------------------------------------------------------
help=$("$cli" --help) || fail "vellumix-cli --help failed"

# Commands: the indented words of the help's Commands section.
help_commands=$(sed -n '/^Commands:/,/^$/p' <<<"$help" | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p' | sort)
[[ $(complete_line "vellumix-cli ") == "$help_commands" ]] ||
    fail "commands offered [$(complete_line "vellumix-cli " | xargs)], help lists [$(echo $help_commands)]"

# An option counts as accepted by a command when, followed by --help, it is not refused: a flag
# alone, an option with a value (the help shows a placeholder after it) in its --name=value form.
accepts() { # accepts COMMAND OPTION
    local option=$2
    grep -qE -- "$2 [A-Z]" <<<"$help" && option="$2=x"
    VELLUMIX_BUS= "$cli" "$1" "$option" --help >/dev/null 2>&1
}
help_options=$(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u | grep -vx -- '--version')
for command in $help_commands; do
    offered=$(complete_line "vellumix-cli $command --")
    accepted=$(for o in $help_options; do accepts "$command" "$o" && echo "$o"; done | sort)
    [[ $offered == "$accepted" ]] ||
        fail "$command: offered [$(echo $offered)], accepted [$(echo $accepted)]"
done

# Formats: each one offered passes the format check, which comes before the bus is opened (a bad
# bus then gives status 2, a refused format status 1); and the help names the same ones.
for format in $(complete_line "vellumix-cli capture --format "); do
    VELLUMIX_BUS= "$cli" --bus=none capture --format "$format" >/dev/null 2>&1
    [[ $? -eq 2 ]] || fail "format $format is offered but refused"
    grep -qw -- "$format" <<<"$help" || fail "format $format is offered but not in --help"
done

# Bus schemes: every word of the program's own list of bus forms that it takes as a scheme is
# offered, and every scheme offered is one it takes. A scan is quick on each bus that can fail.
known_scheme() {
    local out
    out=$(VELLUMIX_BUS= timeout 20 "$cli" --bus="$1" scan 2>&1 >/dev/null)
    [[ $out != *"Unknown bus"* ]]
}
forms=$(VELLUMIX_BUS= "$cli" --bus=none scan 2>&1 >/dev/null)
[[ $forms == *"Unknown bus"*": use "* ]] || fail "no list of bus forms for an unknown bus: $forms"
forms=${forms#*: use }
forms=${forms%%. *}
offered=$(complete_line "vellumix-cli --bus " | sed 's/:$//' | sort -u)
listed=$(grep -oE '(^|[ ,])[a-z][a-z0-9]*' <<<"$forms" | tr -d ' ,' | sort -u | while read -r w; do
    known_scheme "$w" && echo "$w"
done)
[[ $offered == "$listed" ]] || fail "bus schemes offered [$(echo $offered)], the program's [$(echo $listed)]"
for scheme in $offered; do
    known_scheme "$scheme" || fail "bus scheme $scheme is offered but unknown to the program"
done

if ((failures)); then
    echo "$failures failed"
    exit 1
fi
echo "completion: all checks passed"
