# Sourced by the scripts that compare the uClibc build's work with the reference build's:
# where the two builds are (REFERENCE, OURS, with EMULATOR to run ours, from CTest), how to
# run a program of each, and the checks, each counted as passed or failed; finish prints
# the counts and gives the exit status. Exit status 77 (skipped) when the emulator is missing.
set -euo pipefail
: "${REFERENCE:?the reference build tree}" "${OURS:?our build tree}" "${EMULATOR:?}" "${SOURCE:?}"

emulator_program=${EMULATOR%% *}
if ! command -v "$emulator_program" >/dev/null; then
  echo "SKIPPED: $emulator_program is not installed (scripts/install-deps.sh uclibc)"
  exit 77
fi
for program in avi_write_examples avi_read_back mirvo mirvoctl; do
  [[ -x "$REFERENCE/bin/$program" ]] ||
    { echo "no $program in the reference build $REFERENCE: build it first (make build)"; exit 1; }
done

work=$(mktemp -d)
cleanups=()
trap 'for c in "${cleanups[@]}"; do eval "$c"; done; rm -rf "$work"' EXIT
passed=0
failed=0

# check WHAT COMMAND...: runs the command as one check.
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    failed=$((failed + 1))
  fi
}

reference() { local program=$1; shift; "$REFERENCE/bin/$program" "$@"; }
# shellcheck disable=SC2086 # the emulator's words
ours() { local program=$1; shift; $EMULATOR "$OURS/bin/$program" "$@"; }

# same_files DIR_A DIR_B: both hold the same file names, and each file the same bytes.
same_files() {
  check "the same files in $1 and $2" diff <(cd "$1" && ls) <(cd "$2" && ls)
  local file
  for file in "$1"/*; do
    check "$(basename "$file") the same bytes in both builds" cmp "$file" "$2/$(basename "$file")"
  done
}

# same_listing REFERENCE_FILE OUR_FILE: the reference reader lists the first as our reader
# lists the second.
same_listing() {
  local name
  name=$(basename "$2")
  [[ -f "$1" && -f "$2" ]] || { check "$name read back: both files exist" false; return; }
  reference avi_read_back "$1" >"$work/reference-listing" 2>&1 || true
  ours avi_read_back "$2" >"$work/our-listing" 2>&1 || true
  check "$name read back as the reference reads it" \
    diff -u "$work/reference-listing" "$work/our-listing"
}

finish() {
  echo "uclibc: $passed passed, $failed failed"
  [[ $failed -eq 0 && $passed -gt 0 ]]
}
