#!/usr/bin/env bash
# The Debian package as a user gets it: built from a clean Release tree, checked with Debian's own
# validators, installed, run, and removed again so that the machine is as it was.
#   package_test.sh SOURCE_DIR WORK_DIR
set -uo pipefail
src=$1
work=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; }
# Runs a check that must succeed and print nothing: the validators print their findings, warnings too.
quiet() {
    local out
    out=$("$@" 2>&1) && [[ -z $out ]] || fail "$* -> ${out:-exit status $?}"
}

mkdir -p "$work"
deb=$(JOBS=2 bash "$src/scripts/package" "$work/build" "$work/out" 2>"$work/package.log") || {
    tail -30 "$work/package.log"
    echo "FAIL: scripts/package"
    exit 1
}
echo "package: $deb"
version=$(dpkg-deb -f "$deb" Version)
[[ $(basename "$deb") == "signposter_${version}_$(dpkg --print-architecture).deb" ]] || fail "file name $deb"

contents=$(dpkg-deb -c "$deb")
for path in /usr/bin/signposter /usr/bin/signposter-cli /usr/share/applications/signposter.desktop \
    /usr/share/icons/hicolor/{16x16,32x32,48x48,256x256}/apps/signposter.png \
    /usr/share/icons/hicolor/scalable/apps/signposter.svg \
    /usr/share/metainfo/org.signposter.signposter.metainfo.xml \
    /usr/share/man/man1/signposter.1.gz /usr/share/man/man1/signposter-cli.1.gz \
    /usr/lib/systemd/user/signposter-monitor.service \
    /usr/share/doc/signposter/copyright /usr/share/doc/signposter/changelog.gz \
    /usr/share/doc/signposter/examples/90-signposter; do
    grep -q " \.$path\$" <<<"$contents" || fail "package lacks $path"
done
dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || fail "Depends not computed: $(dpkg-deb -f "$deb" Depends)"
# libcurl and libssh are opened when first used: named in Depends, never linked.
dpkg-deb -f "$deb" Depends | grep -q 'libcurl4 .*libssh-4' || fail "Depends lack libcurl4, libssh-4"

# The validators read the files as the package holds them.
root=$work/root
rm -rf "$root" && dpkg-deb -x "$deb" "$root"
for program in signposter signposter-cli; do
    ! ldd "$root/usr/bin/$program" | grep -E 'libcurl|libssh' || fail "$program links libcurl or libssh"
done
quiet desktop-file-validate "$root/usr/share/applications/signposter.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.signposter.signposter.metainfo.xml" ||
    fail "appstreamcli validate"
for page in signposter signposter-cli; do
    file=$root/usr/share/man/man1/$page.1.gz
    quiet sh -c "zcat '$file' | groff -man -ww -z"
    lines=$(MANWIDTH=80 man -l "$file" 2>/dev/null | wc -l)
    ((lines > 20)) || fail "man -l $page renders $lines lines"
done
sh -n "$root/usr/share/doc/signposter/examples/90-signposter" || fail "dispatcher example does not parse"
lintian --fail-on error "$deb" || fail "lintian reports errors"

# Start at login, with the programs as built: the entry names the tray program beside signposter-cli,
# quoted as the desktop entry rules want for a folder name holding a space and a '$'.
odd=$work/'odd dir $x'
rm -rf "$odd" && mkdir -p "$odd" && cp "$root/usr/bin/signposter" "$root/usr/bin/signposter-cli" "$odd/"
config=$work/config
rm -rf "$config"
autostart() { XDG_CONFIG_HOME=$config "$1" autostart "${@:2}"; }
entry=$config/autostart/signposter.desktop
[[ $(autostart "$odd/signposter-cli" status) == off ]] || fail "status before on"
autostart "$odd/signposter-cli" on || fail "autostart on"
grep -qxF "Exec=\"$work/odd dir \\\\\$x/signposter\"" "$entry" || fail "Exec line: $(grep Exec "$entry")"
quiet desktop-file-validate "$entry"
[[ $(autostart "$odd/signposter-cli" status) == on ]] || fail "status after on"
echo "Hidden=true" >>"$entry"
[[ $(autostart "$odd/signposter-cli" status) == off ]] || fail "status of an entry the desktop hides"
autostart "$odd/signposter-cli" off && [[ ! -e $entry ]] || fail "autostart off"
autostart "$odd/signposter-cli" off || fail "autostart off when already off"
[[ $(autostart "$odd/signposter-cli" status) == off ]] || fail "status after off"
autostart "$odd/signposter-cli" sideways 2>/dev/null
(($? == 2)) || fail "autostart with a bad argument is not a usage error"
# Options answered without a display.
[[ $(env -u DISPLAY -u WAYLAND_DISPLAY "$odd/signposter" --version) == "signposter $version" ]] ||
    fail "signposter --version"
env -u DISPLAY -u WAYLAND_DISPLAY "$odd/signposter" --help | grep -q "^usage: signposter" || fail "signposter --help"

if [[ $(id -u) -ne 0 ]]; then
    skip "installing the package needs root (dpkg -i)"
elif dpkg-query -W -f='${Status}' signposter 2>/dev/null | grep -q installed; then
    skip "a signposter package is already installed here; left alone"
else
    trap 'dpkg --purge signposter >/dev/null 2>&1' EXIT
    trap 'exit 1' INT TERM
    if dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
        [[ $(/usr/bin/signposter-cli --version) == "signposter-cli $version" ]] || fail "signposter-cli --version"
        autostart /usr/bin/signposter-cli on && grep -qx "Exec=/usr/bin/signposter" "$entry" ||
            fail "installed autostart entry: $(cat "$entry")"
        # systemd checks a unit offline with a runtime folder of its own; in a container it may still
        # refuse to start its manager.
        unit=/usr/lib/systemd/user/signposter-monitor.service
        runtime=$(mktemp -d)
        if ! command -v systemd-analyze >/dev/null; then
            skip "systemd-analyze is not installed"
        elif out=$(XDG_RUNTIME_DIR=$runtime systemd-analyze --user verify "$unit" 2>&1); [[ $out == *"Failed to initialize manager"* ]]; then
            skip "systemd cannot start a user manager here: $out"
        else
            [[ -z $out ]] || fail "systemd-analyze verify: $out"
        fi
        rm -rf "$runtime"
    else
        cat "$work/dpkg.log"
        fail "dpkg -i"
    fi
    dpkg -r signposter >/dev/null || fail "dpkg -r"
    dpkg-query -W -f='${Status}' signposter 2>/dev/null | grep -q installed && fail "still installed after dpkg -r"
    trap - EXIT INT TERM
fi

((failures == 0)) && echo "package test: all checks passed"
exit $((failures > 0))
