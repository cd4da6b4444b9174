#!/usr/bin/env bash
# Checks the user documentation against the tool as built:
#  - the manual page formats without a single groff warning;
#  - `cmake --install` puts the binary and the manual page in place;
#  - CI runs the README's second set-up line exactly as the README gives it;
#  - the README's guide, followed top to bottom like a reader would: every
#    command of its ```sh blocks ends with the status listed below, and every
#    line of a ```text block is a line of the output of the command just
#    before it ("..." lines stand for the output left out).
# Usage: bash doc/check.sh [build dir]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
fail() { echo "doc check: $*"; exit 1; }

# The status each README command promises. A README command missing here,
# or an entry here that the README no longer has, fails the check, so the
# two cannot drift apart.
declare -A want=(
  ["./build/cartsift --list build/demo.113"]=0
  ["./build/cartsift --list -v build/demo.113"]=0
  ["./build/cartsift --list --json build/demo.113"]=0
  ["rm -rf restored partial picked restored-z demo-plain.113"]=0
  ["./build/cartsift --extract -C restored build/demo-3.113 build/demo-1.113 build/demo-2.113"]=1
  ["find restored | sort"]=0
  ["wc -l restored/D_/ARCHIVE/NUMBERS.TXT"]=0
  ["./build/cartsift --test build/demo-2.113 build/demo-3.113 build/demo-1.113"]=1
  ["./build/cartsift --test build/demo-1.113 build/demo-3.113"]=1
  ["./build/cartsift --extract -C partial build/demo-3.113 build/demo-1.113"]=1
  ["find partial -type f | wc -l"]=0
  ["head -c 150000 build/demo.113 > cut.113"]=0
  ["./build/cartsift --test cut.113"]=1
  ["./build/cartsift --info build/demo-1.113 build/demo-3.113"]=1
  ["./build/cartsift --list --json build/demo-3.113 build/demo-1.113 build/demo-2.113 | grep 'Price list'"]=0
  ["./build/cartsift --extract -C restored-z build/demo-z3.113 build/demo-z1.113 build/demo-z2.113"]=1
  ["diff -r restored restored-z"]=0
  ["./build/cartsift --info build/demo-z.113"]=0
  ["./build/cartsift --inflate build/demo-z.113 demo-plain.113"]=0
  ["./build/cartsift demo-plain.113 -c"]=10
  ["./build/cartsift --extract -v -C picked --include='docs/' --exclude='*.csv' build/demo.113"]=0
  ["./build/cartsift --extract -O --include='C:/AUTOEXEC.BAT' build/demo.113"]=0
  ["rm -rf demo.zip checked checked.sums demo-bag gap-bag attrs"]=0
  ["./build/cartsift --convert demo.zip build/demo-3.113 build/demo-1.113 build/demo-2.113"]=1
  ["python3 -m zipfile -l demo.zip"]=0
  ["python3 -c 'import sys, zipfile; [print(hex(m.external_attr & 0xff), m.filename) for m in zipfile.ZipFile(sys.argv[1]).infolist()]' demo.zip"]=0
  ["./build/cartsift --convert - build/demo-3.113 build/demo-1.113 build/demo-2.113 | tar -tvf -"]=0
  ["./build/cartsift --list --hash=sha256 build/demo-3.113 build/demo-1.113 build/demo-2.113"]=1
  ["./build/cartsift --extract -C checked --manifest=checked.sums build/demo-3.113 build/demo-1.113 build/demo-2.113"]=1
  ["(cd checked && sha256sum -c ../checked.sums)"]=0
  ["./build/cartsift --bag demo-bag build/demo-3.113 build/demo-1.113 build/demo-2.113"]=1
  ["cat demo-bag/bag-info.txt"]=0
  ["./build/cartsift --bag gap-bag build/demo-1.113 build/demo-3.113"]=1
  ["grep NUMBERS gap-bag/cartsift-report.jsonl"]=0
  ["./build/cartsift --extract --xattrs -C attrs build/demo-3.113 build/demo-1.113 build/demo-2.113"]=1
  ["python3 -c 'import os; print(os.getxattr(\"attrs/D_/ARCHIVE/Договоры/Договор 1996-09.txt\", \"user.DOSATTRIB\").decode())'"]=0
  ["./build/cartsift build/demo.113"]=0
  ["./build/cartsift build/demo.113 -dd-1"]=1
  ["./build/cartsift build/demo.113 -dd-1 -v"]=1
  ["./build/cartsift build/demo.113 -dd-1 -vv"]=1
  ["./build/cartsift build/demo.113 -dd32c00"]=1
  ["./build/cartsift build/demo.113 -di"]=1
  ["./build/cartsift build/demo.113 -c"]=10
  ["./build/cartsift build/demo.113 -c:32c00"]=10
  ["./build/cartsift build/demo.113 -c2b800:15c00"]=33
  ["rm -rf restore && mkdir restore && cd restore"]=0
  ["../build/cartsift ../build/demo.113 -dd-1 -x"]=1
  ["../build/cartsift ../build/demo.113 -dd-1 -x '-pC:\\DOCS'"]=1
  ["find DOCS -type f | sort"]=0
  ["../build/cartsift ../build/demo.113 -dd-1 -x3"]=1
  ["../build/cartsift ../build/demo-1.113 -dd-1 -x"]=1
  ["printf '../build/demo-2.113\\n' | ../build/cartsift ../build/demo-1.113 -dd-1 -x"]=1
  ["wc -l D_/ARCHIVE/NUMBERS.TXT"]=0
  ["../build/cartsift ../build/demo-3.113 -dd-1"]=1
  ["cd .."]=0
  ["echo q | ./build/cartsift build/demo-3.113"]=0
  ["cp build/demo.113 broken.113"]=0
  ["printf '\\0\\0\\0\\0' | dd of=broken.113 conv=notrunc status=none"]=0
  ["./build/cartsift broken.113"]=254
  ["./build/cartsift broken.113 -f -di"]=1
  ["rm -rf rescue && mkdir rescue && cd rescue"]=0
  ["../build/cartsift ../broken.113 -x -dc0 -dd-1"]=1
  ["find . -type f | wc -l"]=0
)

tmp=$(mktemp -d)
# Extraction leaves read-only files; the directories stay writable.
trap 'rm -rf "$tmp"' EXIT

# The manual page.
warn=$(groff -ww -man -z "$root/doc/cartsift.1" 2>&1)
[[ -z $warn ]] || fail "cartsift.1 has groff warnings:"$'\n'"$warn"

# The install.
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
for f in bin/cartsift share/man/man1/cartsift.1; do
  [[ -f $tmp/prefix/$f ]] || fail "cmake --install did not install $f"
done

# The two indented set-up lines at the top of the README: the second is the
# one .ci/run runs, word for word.
setup=$(sed -n '2s/^    //p' "$root/README.md")
[[ $setup == *ctest* ]] || fail "README line 2 is not the test line: $setup"
grep -Fq -- "$setup" "$root/.ci/run" || fail ".ci/run does not run the README's line 2: $setup"

# The README, run in a scratch directory that stands for the top of a clone.
mkdir -p "$tmp/work"
ln -s "$build" "$tmp/work/build"
cmds=() kind=""
script="$tmp/guide.sh"
: >"$tmp/excerpts"
while IFS= read -r line; do
  case $kind in
  "")
    case $line in
    '```sh') kind=sh ;;
    '```text') kind=text ;;
    '```'*) kind=other ;;
    esac
    continue
    ;;
  esac
  if [[ $line == '```' ]]; then
    kind=""
    continue
  fi
  case $kind in
  sh)
    # A comment after a command is set off by at least two spaces.
    cmd=$(sed -E 's/[[:space:]]{2,}#.*$//; s/[[:space:]]+$//' <<<"$line")
    [[ -z $cmd || $cmd == '#'* ]] && continue
    n=${#cmds[@]}
    cmds+=("$cmd")
    # Braces keep a cd for the commands that follow; stdin is empty, so a
    # prompt that nobody answers gives up as at the end of input.
    printf '{ %s\n} >%q 2>&1 </dev/null; echo $? >%q\n' "$cmd" "$tmp/out.$n" "$tmp/st.$n" >>"$script"
    ;;
  text)
    ((${#cmds[@]})) || fail "README output excerpt before any command: $line"
    printf '%d\t%s\n' $((${#cmds[@]} - 1)) "$line" >>"$tmp/excerpts"
    ;;
  esac
done <"$root/README.md"
((${#cmds[@]})) || fail "no commands found in README.md"

(cd "$tmp/work" && TZ=UTC LC_ALL=C bash "$script")

bad=0
declare -A seen=()
for n in "${!cmds[@]}"; do
  cmd=${cmds[$n]}
  seen[$cmd]=1
  got=$(cat "$tmp/st.$n")
  if [[ -z ${want[$cmd]+x} ]]; then
    echo "doc check: README command has no expected status here: $cmd"
    bad=1
  elif [[ $got != "${want[$cmd]}" ]]; then
    echo "doc check: '$cmd' ended with status $got, the README promises ${want[$cmd]}"
    tail -n 5 "$tmp/out.$n"
    bad=1
  fi
done
for cmd in "${!want[@]}"; do
  [[ -n ${seen[$cmd]+x} ]] || { echo "doc check: no longer in the README: $cmd"; bad=1; }
done
while IFS=$'\t' read -r n text; do
  text=$(sed -E 's/[[:space:]]+$//' <<<"$text")
  [[ -z $text || $text == "..." ]] && continue
  [[ -f $tmp/trim.$n ]] || sed -E 's/[[:space:]]+$//' "$tmp/out.$n" >"$tmp/trim.$n"
  if ! grep -Fxq -- "$text" "$tmp/trim.$n"; then
    echo "doc check: '${cmds[$n]}' does not print the README line: $text"
    bad=1
  fi
done <"$tmp/excerpts"
((bad == 0)) || exit 1
echo "doc check: manual page clean, install complete, ${#cmds[@]} README commands as promised"
