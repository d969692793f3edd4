#!/usr/bin/env bash
# shellcheck disable=SC2034 # the file lists are read through a name reference
# Builds the Debian packages (scripts/build-packages.sh; --no-build checks the
# ones in build/packages/) and checks them: each package's files, no Qt GUI
# library behind the daemon, lintian without an error or a warning, and the
# service unit's systemd-analyze exposure at most 3.0.
#
# With --install (root only, for CI or a throw-away machine) it also installs
# them, runs the programs' --version, checks the service's user, folders and
# configuration, reinstalls (the upgrade path), purges them and checks that
# nothing is left: no user, no files, no daemon. Packages that the install
# pulled in are purged again, so the machine is as before.
set -euo pipefail
cd "$(dirname "$0")/.."
build=1 install=0
for arg in "$@"; do
    case "$arg" in
    --no-build) build=0 ;;
    --install) install=1 ;;
    *) echo "usage: $0 [--no-build] [--install]" >&2; exit 2 ;;
    esac
done
fail() { echo "package check: $*" >&2; exit 1; }

scripts/install-deps.sh lintian systemd binutils
[ "$build" -eq 0 ] || scripts/build-packages.sh
out=build/packages
deb() { find "$out" -maxdepth 1 -name "$1_*.deb" | head -n1; }
packages=()
for name in serverd server client bench; do packages+=("kelvra-$name"); done

# Each package's files (the unit in /lib: where Debian 12 keeps system units),
# read through a name reference below.
serverd_files=(./usr/bin/kelvra-serverd ./lib/systemd/system/kelvra-serverd.service
    ./etc/kelvra/kelvra-serverd.conf ./etc/logrotate.d/kelvra-serverd
    ./usr/share/man/man1/kelvra-serverd.1.gz)
if [ -d tools/admin ]; then
    serverd_files+=(./usr/bin/kelvra-admin ./usr/share/man/man1/kelvra-admin.1.gz)
fi
server_files=(./usr/bin/kelvra-server ./usr/share/applications/kelvra-server.desktop
    ./usr/share/icons/hicolor/scalable/apps/kelvra-server.svg
    ./usr/share/icons/hicolor/32x32/apps/kelvra-server.png
    ./usr/share/icons/hicolor/48x48/apps/kelvra-server.png
    ./usr/share/icons/hicolor/64x64/apps/kelvra-server.png
    ./usr/share/icons/hicolor/128x128/apps/kelvra-server.png
    ./usr/share/man/man1/kelvra-server.1.gz)
client_files=(./usr/bin/kelvra-client ./usr/share/man/man1/kelvra-client.1.gz)
bench_files=(./usr/bin/kelvra-bench ./usr/share/man/man1/kelvra-bench.1.gz)
for name in serverd server client bench; do
    file=$(deb "kelvra-$name") || true
    [ -n "$file" ] || fail "no kelvra-$name package in $out"
    listing=$(dpkg-deb -c "$file" | awk '{ print $NF }')
    declare -n want="${name}_files"
    for f in "${want[@]}" "./usr/share/doc/kelvra-$name/copyright" \
             "./usr/share/doc/kelvra-$name/changelog.gz"; do
        grep -qxF "$f" <<<"$listing" || fail "$(basename "$file") lacks $f"
    done
done
for p in "${packages[@]}"; do [ -n "$(deb "$p-dbgsym")" ] || fail "no $p-dbgsym package"; done
echo "package check: every package holds its files"

# The daemon links QtCore and QtNetwork only, and its package depends on no
# GUI library.
gui='libqt6(gui|widgets|opengl|xcb|waylandclient)|libQt6(Gui|Widgets|OpenGL|XcbQpa)'
serverd_deb=$(deb kelvra-serverd)
if dpkg-deb -f "$serverd_deb" Depends | grep -Eq "$gui"; then
    fail "kelvra-serverd depends on a GUI library: $(dpkg-deb -f "$serverd_deb" Depends)"
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$serverd_deb" "$tmp"
for exe in "$tmp"/usr/bin/*; do
    if objdump -p "$exe" | grep NEEDED | grep -Eq "$gui"; then
        fail "$(basename "$exe") links a GUI library"
    fi
done
echo "package check: kelvra-serverd needs no GUI library"

lintian --profile debian --fail-on error,warning "$out"/*.deb ||
    fail "lintian reports errors or warnings (above)"
echo "package check: lintian reports no error and no warning"

score=$(systemd-analyze security --offline=true packaging/kelvra-serverd.service 2>/dev/null |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
[ -n "$score" ] || fail "systemd-analyze gave no exposure level"
awk -v s="$score" 'BEGIN { exit !(s <= 3.0) }' ||
    fail "the unit's exposure is $score, above 3.0 (systemd-analyze security)"
echo "package check: systemd-analyze security: exposure $score"

[ "$install" -eq 1 ] || exit 0
[ "$(id -u)" -eq 0 ] || fail "--install needs root"
getent passwd kelvra >/dev/null && fail "a user kelvra exists already: not a clean machine"

installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 ~ /^.i/ { print $2 }' | sort; }
before=$(installed)
export DEBIAN_FRONTEND=noninteractive
files=()
for p in "${packages[@]}"; do files+=("./$(deb "$p")"); done
apt-get install -y "${files[@]}" >/dev/null
for p in kelvra-serverd kelvra-client kelvra-bench; do "$p" --version; done
[ -x /usr/bin/kelvra-admin ] && kelvra-admin --version
[ -d tools/admin ] && [ ! -x /usr/bin/kelvra-admin ] && fail "kelvra-admin not installed"

getent passwd kelvra | grep -q ':/var/lib/kelvra:/usr/sbin/nologin$' ||
    fail "no system user kelvra with its home in /var/lib/kelvra"
uid=$(id -u kelvra)
[ "$uid" -lt 1000 ] || fail "kelvra is not a system user (uid $uid)"
owner() { stat -c '%U:%G %a' "$1"; }
check_owner() { [ "$(owner "$1")" = "$2" ] || fail "$1 is $(owner "$1"), not $2"; }
check_owner /etc/kelvra/kelvra-serverd.conf "root:kelvra 640"
check_owner /var/lib/kelvra "kelvra:kelvra 700"
check_owner /var/log/kelvra "kelvra:kelvra 750"
if ldd /usr/bin/kelvra-serverd | grep -Eq "$gui"; then fail "kelvra-serverd loads a GUI library"; fi
pulled=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
             --no-replaces --no-enhances kelvra-serverd | grep -E "^ *($gui)" || true)
[ -z "$pulled" ] || fail "kelvra-serverd pulls in $pulled"
if command -v logrotate >/dev/null; then
    logrotate -d /etc/logrotate.d/kelvra-serverd 2>/dev/null || fail "logrotate refuses the rule"
fi
if [ -d /run/systemd/system ]; then
    systemctl is-active --quiet kelvra-serverd ||
        { journalctl -u kelvra-serverd --no-pager | tail -n 20; fail "the service did not start"; }
    systemctl reload kelvra-serverd
    [ -x /usr/bin/kelvra-admin ] && kelvra-admin stats
fi

# Reinstalling runs the upgrade path; the configuration keeps its owner.
apt-get install -y --reinstall "./$serverd_deb" >/dev/null
check_owner /etc/kelvra/kelvra-serverd.conf "root:kelvra 640"
echo "package check: installed, runs, upgrades"

apt-get purge -y "${packages[@]}" >/dev/null
for path in /etc/kelvra /var/lib/kelvra /var/log/kelvra /run/kelvra /usr/bin/kelvra-serverd \
            /lib/systemd/system/kelvra-serverd.service \
            /etc/systemd/system/multi-user.target.wants/kelvra-serverd.service; do
    [ ! -e "$path" ] || fail "$path left behind"
done
getent passwd kelvra >/dev/null && fail "user kelvra left behind"
getent group kelvra >/dev/null && fail "group kelvra left behind"
dpkg-statoverride --list /etc/kelvra/kelvra-serverd.conf >/dev/null && fail "stat override left behind"
for p in /proc/[0-9]*; do
    [ "$(stat -c %u "$p" 2>/dev/null)" != "$uid" ] || fail "a process of kelvra runs: ${p#/proc/}"
    case "$(readlink "$p/exe" 2>/dev/null)" in
    /usr/bin/kelvra-serverd*) fail "kelvra-serverd still runs: ${p#/proc/}" ;;
    esac
done
echo "package check: purge leaves nothing behind"

extra=$(comm -13 <(echo "$before") <(installed))
if [ -n "$extra" ]; then
    # shellcheck disable=SC2086 # one name per word
    apt-get purge -y $extra >/dev/null
fi
