#!/usr/bin/env bash
# The manual pages and package files say what the built programs do: every option of
# vellumix-cli --help, every exit status, every bus scheme and environment variable, this version.
#   docs_test.sh SOURCE_DIR VELLUMIX_CLI VERSION
set -uo pipefail
src=$1
cli=$2
[[ -x $cli ]] || { echo "FAIL: $cli is not a program"; exit 1; }
version=$3
gui_page=$src/packaging/man/vellumix.1
cli_page=$src/packaging/man/vellumix-cli.1

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Plain text, one paragraph a line (no wrapping or hyphenation to split words).
render() { groff -man -Tutf8 -P-cbou -rLL=2000n -rHY=0 "$1" 2>&1; }
declare -A rendered
rendered[$gui_page]=$(render "$gui_page")
rendered[$cli_page]=$(render "$cli_page")
# The lines of a page's section, up to the next heading.
section() { sed -n "/^$2\$/,/^[A-Z][A-Z ]*\$/p" <<<"${rendered[$1]}"; }

# --- They render without complaint -------------------------------------------------------------------
for page in "$gui_page" "$cli_page"; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "$(basename "$page"): $warnings"
done

# --- vellumix-cli's options and exit statuses ----------------------------------------------------------
help=$("$cli" --help) || fail "vellumix-cli --help failed"
cli_text=${rendered[$cli_page]}
for option in $(grep -oE -- '(^| )--?[a-z][a-z-]*' <<<"$help" | sort -u); do
    grep -qF -- "$option" <<<"$cli_text" || fail "vellumix-cli.1 does not describe $option"
done

statuses=$(sed -n 's/^ *Exit[A-Za-z]* *= *\([0-9][0-9]*\),.*/\1/p' "$src/cli/exitstatus.h" | sort -n)
[[ -n $statuses ]] || fail "no exit statuses found in cli/exitstatus.h"
documented=$(section "$cli_page" "EXIT STATUS" | sed -n 's/^ *\([0-9][0-9]*\) .*/\1/p' | sort -n)
[[ $statuses == "$documented" ]] ||
    fail "exit statuses in the program [$(echo $statuses)], in vellumix-cli.1 [$(echo $documented)]"

# --- Bus schemes: those named in the program's own message for an unknown bus ------------------------
forms=$(VELLUMIX_BUS= "$cli" --bus=none scan 2>&1 >/dev/null)
[[ $forms == *"Unknown bus"*": use "* ]] || fail "no list of bus forms in the unknown-bus message: $forms"
forms=${forms#*: use }
forms=${forms%%. *}
for form in $(grep -oE '(^|[ ,])[a-z][a-z0-9]*(:[^ ,]*)?' <<<"$forms" | tr -d ' ,' | grep -vxE 'or|and|with|from|to'); do
    scheme=${form%%:*}
    for page in "$gui_page" "$cli_page"; do
        section "$page" "BUS URIS" | grep -qE "^ *(.*, )?$scheme(\b|:)" ||
            fail "$(basename "$page") does not describe the bus $form"
    done
done

# --- Bus forms: the table of buses (--help's Buses section) and the pages' BUS URIS terms agree ----------
table_forms=$(sed -n '/^Buses:/,/^$/p' <<<"$help" | sed -n 's/^  \([a-z][^ ]*\) .*/\1/p' | sort -u)
[[ -n $table_forms ]] || fail "vellumix-cli --help lists no buses"
for page in "$gui_page" "$cli_page"; do
    # A term is the start of a line of the section, up to two blanks; "gpib, gpib:N" names two.
    page_forms=$(section "$page" "BUS URIS" | sed -n 's/^ \{1,8\}\([a-z][^ ,]*\(, [a-z][^ ,]*\)*\).*/\1/p' |
        sed 's/, /\n/g' | sort -u)
    [[ $page_forms == "$table_forms" ]] ||
        fail "$(basename "$page") describes the buses [$(echo $page_forms)], the program's table [$(echo $table_forms)]"
done

# --- Environment variables the programs read -----------------------------------------------------------
# The names the sources look up: named constants (...Variable = "NAME") and direct look-ups.
variables() {
    grep -rhoE '(getenv\(|environment\(|nonEmptyEnv\(desktop, |Variable = )"[A-Za-z_]+"' \
        --include=*.cpp --include=*.h "$@" | cut -d'"' -f2 | sort -u
}
for variable in $(variables "$src/gpib"); do
    for page in "$gui_page" "$cli_page"; do
        section "$page" ENVIRONMENT | grep -q "^ *$variable" ||
            fail "$(basename "$page") does not describe $variable"
    done
done
for variable in $(variables "$src/app" "$src/about" "$src/files"); do
    section "$gui_page" ENVIRONMENT | grep -q "^ *$variable" || fail "vellumix.1 does not describe $variable"
done

# --- One version everywhere ----------------------------------------------------------------------------
for page in "$gui_page" "$cli_page"; do
    grep -q "^\.TH .*\"Vellumix $version\"" "$page" || fail "$(basename "$page") is not for version $version"
done
first_release=$(grep -oE '<release version="[^"]*"' "$src"/packaging/*.metainfo.xml | head -n1 | cut -d'"' -f2)
[[ $first_release == "$version" ]] || fail "the metainfo's newest release is $first_release, not $version"
changelog_version=$(sed -n '1s/^[a-z0-9.+-]* (\([^)]*\)).*/\1/p' "$src/packaging/changelog")
[[ $changelog_version == "$version" ]] || fail "the changelog's newest entry is $changelog_version, not $version"

if ((failures)); then
    echo "$failures failed"
    exit 1
fi
echo "docs: all checks passed"
