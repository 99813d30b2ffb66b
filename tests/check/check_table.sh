#!/usr/bin/env bash
# overlay-check on staged trees, one row a finding (and a clean update): its
# one source built natively with the host's g++, as the README says, then its
# Windows build run under Wine on the hardest row (a hard link to the game's
# own file beside one that is not, told there by the listing's file numbers).
#   check_table.sh SOURCE_DIR OVERLAY_CHECK_EXE   (in a Wine session)
set -uo pipefail
source_dir=$1 exe=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/overlay-check.XXXXXX")
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
checker=$work/overlay-check
g++ -std=c++17 -O2 -Wall -Wextra -Werror -I "$source_dir/copy" "$source_dir/check/overlay_check.cpp" \
  -o "$checker" || { echo "FAIL: the native build"; exit 1; }
failures=0

# row NAME STATUS FINDINGS PATTERN SETUP [ARGUMENTS...]: SETUP stages the
# update u/ and the game g/ in a folder of the row's own; the checker run as
# `overlay-check u g ARGUMENTS` must exit with STATUS, print FINDINGS finding
# lines and a line matching PATTERN.
run_row() {
  local name=$1 status=$2 findings=$3 pattern=$4 setup=$5 run=$6
  shift 6
  local dir=$work/$name
  mkdir -p "$dir/u" "$dir/g"
  (cd "$dir" && eval "$setup") || { echo "FAIL: $name: staging"; failures=$((failures + 1)); return; }
  local out got
  out=$(cd "$dir" && $run u g "$@" 2>&1)
  got=$?
  local lines
  lines=$(grep -cE '^[^ ].*: (error|warning|note): ' <<<"$out")
  if [ "$got" -eq "$status" ] && [ "$lines" -eq "$findings" ] && grep -qE -- "$pattern" <<<"$out"; then
    echo "ok: $name"
  else
    echo "FAIL: $name: status $got (want $status), $lines findings (want $findings), output:"
    echo "$out"
    failures=$((failures + 1))
  fi
}
row() { run_row "$1" "$2" "$3" "$4" "$5" "$checker" "${@:6}"; }

many='for d in u/d{00..19}; do mkdir "$d" && (cd "$d" && touch f{000..999}.bin); done'
deep='d=u/$(printf "d%.0s" {1..200}) && mkdir "$d" && touch "$d/$(printf "f%.0s" {1..50})"'
row clean 0 0 '^0 errors, 0 warnings; the update fits a game folder of up to 243 characters$' \
  "$many && cp -r u/. g/"
row dot 1 1 '^u/readme\.: error: name ends in a dot; overlay: stops every run' 'touch u/readme. g/readme'
row blank 1 1 '^u/data : error: name ends in a blank; ' 'mkdir "u/data "'
row device 1 1 '^u/COM¹: error: Windows takes this name as the device COM¹; ' 'touch u/COM¹'
row device_with_extension 1 1 '^u/aux\.dat: error: Windows 10 and earlier take this name as the device AUX ' \
  'touch u/aux.dat'
row console_device 1 1 '^u/conin\$: error: Windows takes this name as the device CONIN\$; ' 'touch u/conin\$'
row refused_character 1 1 "^u/a\?b: error: Windows refuses the character '\?' in names; " 'touch u/a\?b'
row control_character 1 1 '^u/a.b: error: Windows refuses the character U\+0001 in names; ' \
  "touch \$'u/a\\x01b'"
row not_utf8 1 1 '^u/.: error: name is not UTF-8' "touch \$'u/\\xff'"
row case_twins 1 1 '^u/Readme\.txt: error: Windows takes this name and "README\.txt" beside it as one name' \
  'touch u/README.txt u/Readme.txt'
row unicode_case_twins 1 1 '^u/d/ärger: error: Windows takes this name and "Ärger" beside it' \
  'mkdir u/d && touch u/d/Ärger u/d/ärger'
row link 1 1 '^u/game: error: a link .*; the reference launcher .* never sees the update match' \
  'ln -s ../g u/game'
row hard_link 0 2 '^u/b: warning: a hard link, one file under 2 names \(also u/a\); ' 'touch u/a && ln u/a u/b'
row path_too_long 1 1 "^u/d{200}/f{50}: error: path of 265 characters in C:.Games.Game, beyond the 259 " \
  "$deep" --game-folder 'C:\Games' --game-folder 'C:\Games\Game\'
row deepest_game_folder 0 0 '^0 errors, 0 warnings; the update fits a game folder of up to 7 characters$' \
  "$deep"
row fits_no_folder 0 0 'the update fits no game folder' \
  'mkdir -p u/$(printf "d%.0s" {1..200})/$(printf "e%.0s" {1..50})'
row read_only 0 1 '^u/ro: warning: read-only file; ' 'touch u/ro && chmod a-w u/ro'
row file_where_game_has_folder 1 1 '^u/data: error: a file where the game has a folder \(g/data\); ' \
  'touch u/data && mkdir g/data'
row folder_where_game_has_file 1 1 '^u/data: error: a folder where the game has a file \(g/data\); overlay: stops the update here with "File exists"' \
  'mkdir u/data && touch g/data'
row game_file_linked 1 2 '^u/f: error: the same file as the game.s g/f \(a hard link\); overlay: stops the update here with "File exists"' \
  'touch g/f g/h u/h && ln g/f u/f'
row game_spelling 0 1 '^u/Sub/Case\.txt: note: the game spells this name "case\.TXT"; ' \
  'mkdir u/Sub g/Sub && touch u/Sub/Case.txt g/Sub/case.TXT'
row pipe 1 1 '^u/p: error: neither a file, a folder nor a link' 'mkfifo u/p'
row unreadable_update 2 0 '^overlay-check: cannot read u: .+' 'rmdir u'
row usage 2 0 '^usage: overlay-check UPDATE \[GAME\] \[--game-folder PATH\]\.\.\.$' ':' --game

# The Windows build on the same row: the listing's file numbers, not a count of names.
run_row wine_game_file_linked 1 1 \
  '^u\\f: error: the same file as the game.s g\\f \(a hard link\); overlay: stops the update here with "File exists"' \
  'touch g/f g/h u/h && ln g/f u/f' "wine $exe"

[ "$failures" -eq 0 ] || { echo "$failures rows failed"; exit 1; }
echo "every row as expected"
