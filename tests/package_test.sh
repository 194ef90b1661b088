#!/usr/bin/env bash
# The Debian package as a plant installs it: built from this tree, it holds
# the programs and everything around them, lintian finds no error in it, the
# manual pages name every option the programs know, the completion offers
# them, and the programs work from the unpacked package, the window's panel
# file found beside the real binary behind /usr/bin/kvex.
# Usage: package_test.sh SOURCE_DIR. Exit 77: skipped (no Debian tools).
set -euo pipefail
src=$(cd "$1" && pwd)
for tool in dpkg-deb dpkg-shlibdeps cpack; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

scratch=$(mktemp -d)
sim_pid=
cleanup() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

deb=$(KVEX_SKIP_SETUP=1 "$src/scripts/package.sh" | tail -n 1)
if command -v lintian >/dev/null; then
  # package.sh fails on a lintian error; its report must be of this package.
  [ "$(dirname "$deb")/lintian.txt" -nt "$deb" ] || fail "lintian did not check $deb"
  grep -q '^E: ' "$(dirname "$deb")/lintian.txt" && fail "lintian errors"
fi

# --- what the package holds
listing=$(dpkg-deb --contents "$deb" | awk '{ sub(/^\./, "", $6); print $6 }')
want=(/usr/bin/kvex /usr/bin/kvex-sensor-sim /usr/lib/kvex/kvex /usr/lib/kvex/kvex-headless
  /usr/share/applications/kvex.desktop /usr/share/icons/hicolor/scalable/apps/kvex.svg
  /usr/share/man/man1/kvex.1.gz /usr/share/man/man1/kvex-sensor-sim.1.gz
  /usr/share/bash-completion/completions/kvex
  /usr/share/bash-completion/completions/kvex-sensor-sim
  /usr/share/doc/kvex/copyright /usr/share/doc/kvex/changelog.Debian.gz)
for f in "$src"/resources/*.uir "$src"/resources/*.bmp; do want+=("/usr/lib/kvex/${f##*/}"); done
[ -e "$src/packaging/kvex-station@.service" ] && want+=("/lib/systemd/system/kvex-station@.service")
[ -e "$src/packaging/station.conf.example" ] &&
  want+=(/usr/share/doc/kvex/examples/station.conf.example)
for f in "${want[@]}"; do
  grep -qxF "$f" <<<"$listing" || fail "the package lacks $f"
done

depends=$(dpkg-deb --field "$deb" Depends)
for d in libc6 libmosquitto adduser; do
  grep -q "$d" <<<"$depends" || fail "Depends lacks $d: $depends"
done

root=$scratch/root
dpkg -x "$deb" "$root"
bin=$root/usr/bin
changelog_version=$(gzip -dc "$root/usr/share/doc/kvex/changelog.Debian.gz" |
  sed -nE '1s/^kvex \(([^)]+)\).*/\1/p')
[ "$changelog_version" = "$(dpkg-deb --field "$deb" Version)" ] ||
  fail "changelog names $changelog_version, the package $(dpkg-deb --field "$deb" Version)"

# The desktop entry starts a program and shows an icon that the package has.
desktop=$root/usr/share/applications/kvex.desktop
while read -r exec; do
  [ -x "$bin/${exec%% *}" ] || fail "desktop entry starts ${exec%% *}, which the package lacks"
done < <(sed -n 's/^Exec=//p' "$desktop")
[ -e "$root/usr/share/icons/hicolor/scalable/apps/$(sed -n 's/^Icon=//p' "$desktop").svg" ] ||
  fail "desktop entry's icon is not in the package"

# --- the programs run from the unpacked package
verbs=(info params record publish stats report gauge-study)
"$bin/kvex" --help >"$scratch/help.kvex" || fail "kvex --help"
for v in "${verbs[@]}"; do
  "$bin/kvex" "$v" --help >"$scratch/help.$v" || fail "kvex $v --help"
done
"$bin/kvex-sensor-sim" --help >"$scratch/help.sim" || fail "kvex-sensor-sim --help"

"$bin/kvex-sensor-sim" --fast >"$scratch/sim.out" &
sim_pid=$!
for _ in $(seq 300); do
  grep -q 'serving on' "$scratch/sim.out" && break
  sleep 0.1
done
device=$(sed -n 's/^kvex-sensor-sim: serving on //p' "$scratch/sim.out")
if [ -z "$device" ]; then
  fail "the unpacked simulator did not start"
else
  # info loads the panels: it ends with exit 1 where they are not found.
  "$bin/kvex" info --port "$device" --quiet >"$scratch/info.out" 2>&1 ||
    fail "kvex info against the unpacked simulator: exit $?: $(cat "$scratch/info.out")"
  grep -qi firmware "$scratch/info.out" || fail "kvex info printed no firmware: $(cat "$scratch/info.out")"
fi

# --- every option in a help text has its place in the manual page
options() { grep -ohE -- '--[a-z][a-z0-9-]*' "$@" | sort -u; }
for page in kvex kvex-sensor-sim; do
  gzip -dc "$root/usr/share/man/man1/$page.1.gz" | sed 's/\\-/-/g' >"$scratch/$page.man"
done
for o in $(options "$scratch"/help.kvex "${verbs[@]/#/$scratch/help.}"); do
  grep -qE -- "$o([^a-z0-9-]|$)" "$scratch/kvex.man" || fail "kvex(1) does not name $o"
done
for o in $(options "$scratch/help.sim"); do
  grep -qE -- "$o([^a-z0-9-]|$)" "$scratch/kvex-sensor-sim.man" ||
    fail "kvex-sensor-sim(1) does not name $o"
done

# --- the completion, as bash loads it for each program, against the unpacked programs
completions=$root/usr/share/bash-completion/completions
complete_words() { # FILE WORD... -> the completions, sorted, on one line
  local file=$1
  shift
  PATH="$bin:$PATH" bash -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _kvex
    if ((${#COMPREPLY[@]})); then printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "; fi' \
    _ "$file" "$@"
}
expect() { # WANTED FILE WORD...
  local wanted=$1 got
  shift
  got=$(complete_words "$@")
  [ "$got" = "$wanted" ] || fail "completing '${*:2}': '$got', not '$wanted'"
}
expect "gauge-study info params publish record report stats " "$completions/kvex" kvex ""
expect "get put " "$completions/kvex" kvex params ""
expect "eeprom ram " "$completions/kvex" kvex params put --memory ""
expect "--start --statistics " "$completions/kvex" kvex --st
expect "run video " "$completions/kvex" kvex --start ""
expect "--mqtt-password-file " "$completions/kvex" kvex publish --mqtt-pass
expect "" "$completions/kvex" kvex record --samples ""
touch "$scratch/line3.csv"
expect "$scratch/line3.csv " "$completions/kvex" kvex stats "$scratch/line3"
expect "$scratch/line3.csv " "$completions/kvex" kvex publish --mqtt-ca "$scratch/line"
expect "$(options "$scratch/help.publish" | tr '\n' ' ')" "$completions/kvex" kvex publish --
expect "--flood " "$completions/kvex-sensor-sim" kvex-sensor-sim --fl

# --- installed and removed by dpkg, on a throw-away overlay of this machine
# (root and a mount namespace needed; the machine itself stays untouched)
if [ "$(id -u)" != 0 ] || ! unshare -m --propagation private true 2>/dev/null; then
  echo "install check skipped: needs root and a mount namespace"
else
  mkdir -p "$scratch"/overlay/{upper,work,merged}
  cp "$deb" "$scratch/overlay/kvex.deb"
  # shellcheck disable=SC2016 # expanded by the inner shells
  unshare -m --propagation private sh -c '
    o=$1
    mount -t overlay overlay -o "lowerdir=/,upperdir=$o/upper,workdir=$o/work" "$o/merged" ||
      exit 77
    mount --bind /proc "$o/merged/proc" && mount --bind /dev "$o/merged/dev" || exit 77
    cp "$o/kvex.deb" "$o/merged/tmp/kvex.deb"
    chroot "$o/merged" sh -c "
      set -e
      dpkg -i /tmp/kvex.deb >/dev/null
      id -nG kvex | grep -qw dialout || { echo the user kvex is not in dialout; exit 1; }
      kvex --version >/dev/null
      dpkg -r kvex >/dev/null
      ! [ -e /usr/bin/kvex ] || { echo /usr/bin/kvex stays after removal; exit 1; }
    "' _ "$scratch/overlay" >"$scratch/install.out" 2>&1 && installed=0 || installed=$?
  case $installed in
  0) ;;
  77) echo "install check skipped: no overlay mount here" ;;
  *) fail "install and removal with dpkg: $(cat "$scratch/install.out")" ;;
  esac
fi

[ "$failures" -eq 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "package $deb: contents, lintian, manual pages, completion and unpacked programs are right"
