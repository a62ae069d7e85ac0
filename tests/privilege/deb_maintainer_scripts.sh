#!/bin/sh
# The .deb of this build tree installed, reinstalled, upgraded, removed and purged by dpkg, in a private
# mount namespace where /etc, /opt, /var/log and dpkg's database are copies, the rest of /var/lib is an
# empty stand-in (for the state directory) and /run/systemd is empty (so systemctl works on the copied
# files only and no service manager is asked anything): nothing of the machine's own is touched, and the
# copies go with the namespace.
#
# The package ships no unit file; its postinst registers the service through the program's "-install" and its
# prerm removes it through "-uninstall". Checked: a fresh install leaves /etc/systemd/system/
# TELVA4Audit.service byte for byte the packaging/ copy, enabled, the service's user, log and state
# directories made; a reinstall replaces a stale unit and restricts config.ini (0640, the service's group); a
# disabled unit stays disabled; removal removes unit and enablement and keeps the user; an upgrade from a
# package that shipped the unit in /lib/systemd/system (and had no prerm) ends with the one unit in /etc,
# enabled; a purge removes the user and the state directory.
#
# Usage: deb_maintainer_scripts.sh SOURCE_DIR BUILD_DIR. Needs root, unshare, dpkg and cpack; exits 77
# (skip) without them.
set -u
SKIP=77
source_dir=$1
build_dir=$2
reference=$source_dir/packaging/TELVA4Audit.service
unit=/etc/systemd/system/TELVA4Audit.service
wants=/etc/systemd/system/multi-user.target.wants/TELVA4Audit.service
account=telva4-audit

if [ -z "${TELVA_DEB_SANDBOX:-}" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "deb_maintainer_scripts: needs root" >&2
        exit $SKIP
    fi
    for tool in unshare dpkg dpkg-deb cpack systemctl; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "deb_maintainer_scripts: $tool is not installed" >&2
            exit $SKIP
        fi
    done
    if ! unshare --mount --propagation private true 2>/dev/null; then
        echo "deb_maintainer_scripts: no private mount namespace to be had" >&2
        exit $SKIP
    fi
    work=$(mktemp -d /tmp/telva_deb_XXXXXX)
    trap 'rm -rf "$work"' EXIT
    if ! cpack -G DEB -B "$work/package" --config "$build_dir/CPackConfig.cmake" >"$work/cpack.log" 2>&1; then
        cat "$work/cpack.log" >&2
        echo "deb_maintainer_scripts: cpack failed" >&2
        exit 1
    fi
    TELVA_DEB_SANDBOX=$work unshare --mount --propagation private sh "$0" "$source_dir" "$build_dir"
    exit $?
fi

# In the namespace from here on.
work=$TELVA_DEB_SANDBOX
failures=0
check() { # check DESCRIPTION COMMAND...
    what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what" >&2
        failures=$((failures + 1))
    fi
}
enabled() { systemctl is-enabled --quiet TELVA4Audit.service; }
not() { ! "$@"; }

cp -a /etc "$work/etc" && mount --bind "$work/etc" /etc || exit 1
mkdir "$work/opt" "$work/log" && mount --bind "$work/opt" /opt && mount --bind "$work/log" /var/log || exit 1
cp -a /var/lib/dpkg "$work/dpkg" || exit 1
mkdir "$work/lib" "$work/lib/dpkg" && mount --bind "$work/lib" /var/lib && mount --bind "$work/dpkg" /var/lib/dpkg ||
    exit 1
if [ -d /run/systemd ]; then
    mount -t tmpfs tmpfs /run/systemd || exit 1
fi
if getent passwd "$account" >/dev/null; then
    userdel "$account" || exit 1 # in the copy: the fresh install must create it
fi
rm -f "$unit" "$wants"
deb=$(ls "$work"/package/*.deb)

dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
check "fresh install: the unit is the packaging/ copy" cmp -s "$unit" "$reference"
check "fresh install: the unit is enabled" enabled
check "fresh install: the service's user exists" getent passwd "$account"
check "fresh install: the log directory is the user's, 0750" \
    test "$(stat -c '%U %a' /var/log/telva4-audit)" = "$account 750"
check "fresh install: the state directory is the user's, 0750" \
    test "$(stat -c '%U %a' /var/lib/telva4-audit)" = "$account 750"
check "the package itself holds no unit file" not sh -c "dpkg -L telva4-audit | grep -q systemd"

cp /opt/telva4-audit/config.ini.example /opt/telva4-audit/config.ini
chmod 0644 /opt/telva4-audit/config.ini
echo "# an older version's line" >>"$unit"
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
check "reinstall: a stale unit is replaced by this version's" cmp -s "$unit" "$reference"
check "reinstall: still enabled" enabled
check "reinstall: config.ini is root's, of the service's group, 0640" \
    test "$(stat -c '%U %G %a' /opt/telva4-audit/config.ini)" = "root $account 640"

systemctl disable --quiet TELVA4Audit.service
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
check "reinstall of a disabled unit: it stays disabled" not enabled
check "reinstall of a disabled unit: the unit is there" cmp -s "$unit" "$reference"

dpkg -r telva4-audit >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
check "removal: no unit file" test ! -e "$unit"
check "removal: no enablement" test ! -L "$wants"
check "removal: the user stays" getent passwd "$account"

# A package of the earlier layout: the unit shipped in /lib/systemd/system, enabled by the administrator,
# no prerm and a postinst that registers nothing.
old=$work/old
dpkg-deb -R "$deb" "$old" || exit 1
mkdir -p "$old/lib/systemd/system" && cp "$reference" "$old/lib/systemd/system/" || exit 1
rm -f "$old/DEBIAN/prerm"
printf '#!/bin/sh\nexit 0\n' >"$old/DEBIAN/postinst"
sed -i 's/^Version: .*/Version: 0.0.1/' "$old/DEBIAN/control"
(cd "$old" && find opt lib -type f -exec md5sum {} + >DEBIAN/md5sums) || exit 1
dpkg-deb -b "$old" "$work/old.deb" >/dev/null || exit 1
dpkg -i "$work/old.deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
systemctl enable --quiet TELVA4Audit.service
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
check "upgrade from /lib/systemd/system: that file is gone" test ! -e /lib/systemd/system/TELVA4Audit.service
check "upgrade from /lib/systemd/system: the unit in /etc is the packaging/ copy" cmp -s "$unit" "$reference"
check "upgrade from /lib/systemd/system: enabled" enabled

dpkg -P telva4-audit >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
check "purge: no unit file" test ! -e "$unit"
check "purge: the user is gone" not getent passwd "$account"
check "purge: the state directory is gone" test ! -e /var/lib/telva4-audit

if [ "$failures" -ne 0 ]; then
    echo "deb_maintainer_scripts: $failures checks failed" >&2
    exit 1
fi
echo "deb_maintainer_scripts: every check passed"
