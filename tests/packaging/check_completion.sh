#!/usr/bin/env bash
# Drives the bash completion of kestrel as bash does (COMP_WORDS, COMP_CWORD,
# then the completion function, then COMPREPLY) and checks what it offers: the
# sub-commands, each command's options (the same as its --help), the values
# of --tick, --sort and --format, folders and files where they belong.
# Usage: check_completion.sh COMPLETION_FILE KESTREL [KESTREL_GUI]
set -uo pipefail
completion=$(realpath "$1")
kestrel=$(realpath "$2")
gui=${3:+$(realpath "$3")}

if ! bash -n "$completion"; then
  echo "FAIL: bash -n $completion"
  exit 1
fi
# shellcheck source=/dev/null
source "$completion"
if [ "$(complete -p kestrel 2>/dev/null)" != "complete -F _kestrel kestrel" ]; then
  echo "FAIL: the file does not register _kestrel for kestrel: $(complete -p kestrel 2>&1)"
  exit 1
fi

failures=0
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-completion-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/My Backups" "$work/mine" "$work/other"
touch "$work/mine.db" "$work/notes.txt"
cd "$work" || exit 1

# Runs a completion function for the words given (the last one is the word
# being completed) and prints COMPREPLY sorted, one per line.
offered() {
  local function=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  "$function"
  if [ ${#COMPREPLY[@]} -gt 0 ]; then printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort; fi
}

# expect "what" "wanted, one per line" function words...
expect() {
  local what=$1 wanted=$2
  shift 2
  local got
  got=$(offered "$@")
  wanted=$(printf '%s\n' "$wanted" | LC_ALL=C sort)
  if [ "$got" != "$wanted" ]; then
    echo "FAIL: $what: for '${*:2}' offered"
    echo "${got:-(nothing)}" | sed 's/^/    /'
    echo "  wanted"
    echo "${wanted:-(nothing)}" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
}

# The option names of a --help text, one per line, sorted.
help_options() {
  QT_QPA_PLATFORM=offscreen "$@" --help | grep -oE '^  -[^ ,]+(, ?-[^ ,]+)*' | tr ',' '\n' | tr -d ' ' | LC_ALL=C sort -u
}

# The words given, one per line.
lines() { printf '%s\n' "$@"; }

# --- the sub-commands and the options of each command, as --help has them ---
expect "sub-commands" "$(lines carve feedback list scan)" _kestrel kestrel ""
expect "sub-commands by prefix" "$(lines scan)" _kestrel kestrel --debug-log s
expect "global options" "$(help_options "$kestrel")" _kestrel kestrel -
for command in list scan carve feedback; do
  expect "options of $command" "$(help_options "$kestrel" "$command")" _kestrel kestrel "$command" -
done
expect "options after the global --debug-log" "$(lines --debug-log --deleted-only)" _kestrel kestrel --debug-log scan --de

# --- scan: values of --tick, --sort and --format; folders ---
expect "--tick values" "$(lines all deleted messages)" _kestrel kestrel scan --tick ""
expect "--tick by prefix" "$(lines deleted)" _kestrel kestrel scan --export out --tick d
expect "--sort values" "$(lines name)" _kestrel kestrel scan --sort ""
expect "--format values" "$(lines csv html json txt)" _kestrel kestrel scan --format ""
expect "--format after a comma" "$(lines txt,csv txt,html txt,json)" _kestrel kestrel scan --format txt,
expect "--format, items not repeated" "$(lines txt,csv,html txt,csv,json)" _kestrel kestrel scan --format txt,csv,
expect "--format, prefix of the last item" "$(lines txt,html)" _kestrel kestrel scan --format txt,h
expect "--format=, split at =" "$(lines csv html json txt)" _kestrel kestrel scan --format =
expect "--format=txt,h, split at =" "$(lines txt,html)" _kestrel kestrel scan --format = txt,h
expect "--tick=d as one word" "$(lines --tick=deleted)" _kestrel kestrel scan --tick=d
expect "--export folders" "$(lines mine 'My Backups' other)" _kestrel kestrel scan --export ""
expect "FOLDER: folders only" "$(lines mine)" _kestrel kestrel scan --json mi
expect "--password-file: files" "$(lines mine mine.db)" _kestrel kestrel scan --password-file mi
expect "--password: free text" "" _kestrel kestrel scan --password ""

# --- list and carve ---
expect "--backup-root folders" "$(lines mine 'My Backups' other)" _kestrel kestrel list --backup-root ""
expect "--backup-root=, split at =" "$(lines other)" _kestrel kestrel list --backup-root = o
expect "list takes no argument" "" _kestrel kestrel list ""
expect "carve FILE: files and folders" "$(lines mine mine.db)" _kestrel kestrel carve --all mi
expect "--table: free text" "" _kestrel kestrel carve --table ""

# --- the desktop program ---
if [ -n "$gui" ]; then
  if [ "$(complete -p kestrel-gui 2>/dev/null)" != "complete -F _kestrel_gui kestrel-gui" ]; then
    echo "FAIL: the file does not register _kestrel_gui for kestrel-gui"
    failures=$((failures + 1))
  fi
  expect "kestrel-gui options" "$(help_options "$gui")" _kestrel_gui kestrel-gui -
  expect "kestrel-gui --backup-root" "$(lines mine 'My Backups' other)" _kestrel_gui kestrel-gui --backup-root ""
fi

[ "$failures" -eq 0 ] || exit 1
echo "completion: every case offered what it should"
