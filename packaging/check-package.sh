#!/usr/bin/env bash
# Builds the two Debian packages from a configured build tree, unpacks them and checks what a user would
# get: quorvel3d (the service, its unit and configuration, the simulator; no desktop library) and quorvel3
# (the window program, the log tool, the desktop integration), each with its Debian documentation, control
# fields, maintainer scripts and lintian's verdict.
# Usage: check-package.sh CPACK CPACK_CONFIG OUT_DIR VERSION
# Exit status 77 means a tool it needs is missing.
set -uo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 CPACK CPACK_CONFIG OUT_DIR VERSION" >&2
    exit 2
fi
cpack=$1
config=$2
out=$3
version=$4

missing=()
for tool in "$cpack" dpkg dpkg-deb dpkg-shlibdeps dpkg-parsechangelog desktop-file-validate appstreamcli lintian \
    file gzip od readelf; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "SKIP: missing tool(s): ${missing[*]} (scripts/install-deps installs them)"
    exit 77
fi

failures=0
checks=0
ok() { checks=$((checks + 1)); }
fail() {
    checks=$((checks + 1))
    failures=$((failures + 1))
    echo "FAIL: $*"
}
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then ok; else fail "$what"; fi
}

arch=$(dpkg --print-architecture)
rm -rf "$out"
mkdir -p "$out"
if ! "$cpack" -G DEB --config "$config" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    echo "FAIL: cpack -G DEB failed"
    exit 1
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Control fields, documentation and file modes, the same for both packages; unpacked to $tmp/PACKAGE.
for package in quorvel3d quorvel3; do
    deb=$out/${package}_${version}_${arch}.deb
    if [ ! -f "$deb" ]; then
        cat "$out/cpack.log"
        echo "FAIL: cpack did not write $(basename "$deb"); $out holds: $(ls "$out" | tr '\n' ' ')"
        exit 1
    fi
    dpkg-deb -x "$deb" "$tmp/$package" || {
        echo "FAIL: dpkg-deb -x cannot unpack $deb"
        exit 1
    }
    field() { dpkg-deb -f "$deb" "$1"; }
    check "Package is $(field Package), not $package" test "$(field Package)" = "$package"
    check "$package: Version is $(field Version), not $version" test "$(field Version)" = "$version"
    check "$package: Architecture is $(field Architecture), not $arch" test "$(field Architecture)" = "$arch"
    check "$package: Maintainer is '$(field Maintainer)'" test "$(field Maintainer)" = "Quorvel-3 developers <dev@quorvel3.invalid>"
    case "$(field Section)" in science | utils) ok ;; *) fail "$package: Section is '$(field Section)', not science or utils" ;; esac
    check "$package: Description has no extended text" test "$(field Description | wc -l)" -gt 1

    # Everything lives under /usr, but for the service's unit and configuration; owned by root, the usual modes.
    while read -r mode owner _ _ _ path _; do
        path=${path#./}
        [ "$owner" = root/root ] || fail "$package: $path is owned by $owner"
        case "$package:$path" in
        *: | *:usr/*) ;;
        quorvel3d:etc/ | quorvel3d:etc/default/ | quorvel3d:etc/logrotate.d/ | quorvel3d:etc/quorvel3d/) ;;
        quorvel3d:lib/ | quorvel3d:lib/systemd/ | quorvel3d:lib/systemd/system/) ;;
        quorvel3d:etc/default/quorvel3d | quorvel3d:etc/logrotate.d/quorvel3d | quorvel3d:etc/quorvel3d/sensors) ;;
        quorvel3d:etc/quorvel3d/quorvel3d.yaml) ;;
        quorvel3d:lib/systemd/system/quorvel3d.service) ;;
        *) fail "$package: $path lies outside /usr" ;;
        esac
        case "$mode" in
        d*) [ "$mode" = drwxr-xr-x ] || fail "$package: directory $path has mode $mode" ;;
        -*)
            if [[ "$path" == usr/bin/* ]]; then want=-rwxr-xr-x; else want=-rw-r--r--; fi
            [ "$mode" = "$want" ] || fail "$package: $path has mode $mode, not $want"
            ;;
        *) fail "$package: $path is neither a file nor a directory ($mode)" ;;
        esac
    done < <(dpkg-deb -c "$deb")
    ok

    doc=$tmp/$package/usr/share/doc/$package
    changelog=$doc/changelog.gz
    if [ -f "$changelog" ]; then
        ok
        check "$package: changelog.gz is not valid gzip" gzip -t "$changelog"
        # gzip -n leaves the flags byte (no file name) and the time stamp at zero.
        header=$(od -An -tx1 -j3 -N5 "$changelog" | tr -d ' \n')
        check "$package: changelog.gz stores a name or time stamp (header $header)" test "$header" = 0000000000
        gzip -dc "$changelog" >"$tmp/changelog.txt"
        if parsed=$(dpkg-parsechangelog -l "$tmp/changelog.txt" -S Version 2>&1); then
            check "$package: latest changelog entry is $parsed, not $version" test "$parsed" = "$version"
        else
            fail "$package: dpkg-parsechangelog: $parsed"
        fi
    else
        fail "usr/share/doc/$package/changelog.gz is missing"
    fi
    copyright=$doc/copyright
    if [ -f "$copyright" ]; then
        ok
        check "$package: copyright is not in the machine-readable format" \
            test "$(head -n1 "$copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
        check "$package: copyright lacks 'Copyright: 2026 Quorvel-3 developers'" grep -qx "Copyright: 2026 Quorvel-3 developers" "$copyright"
        check "$package: copyright lacks 'License: MIT'" grep -qx "License: MIT" "$copyright"
        check "$package: copyright lacks the MIT license text" grep -q "^ Permission is hereby granted, free of charge" "$copyright"
    else
        fail "usr/share/doc/$package/copyright is missing"
    fi
done

# Each package depends on what its own binaries link, as dpkg-shlibdeps found it: the service on no
# desktop library, the window on the widgets.
service_deb=$out/quorvel3d_${version}_${arch}.deb
desktop_deb=$out/quorvel3_${version}_${arch}.deb
depends=$(dpkg-deb -f "$service_deb" Depends)
for lib in libqt6core6 libqt6network6 libqt6httpserver6 libsystemd0 libmosquitto1 libc6; do
    case "$depends" in *"$lib "* | *"$lib,"* | *"$lib") ok ;; *) fail "quorvel3d: Depends does not name $lib: '$depends'" ;; esac
done
for lib in libqt6widgets6 libqt6gui6 libqt6printsupport6; do
    case "$depends" in *"$lib"*) fail "quorvel3d: Depends names the desktop library $lib: '$depends'" ;; *) ok ;; esac
done
# quorvel3 up to 1.0.0 held the service too: quorvel3d takes its files over on upgrade.
for relation in Breaks Replaces; do
    check "quorvel3d: $relation is '$(dpkg-deb -f "$service_deb" $relation)'" \
        test "$(dpkg-deb -f "$service_deb" $relation)" = "quorvel3 (<< 1.1.0)"
done
suggests=$(dpkg-deb -f "$service_deb" Suggests)
case "$suggests" in *mosquitto*) ok ;; *) fail "quorvel3d: Suggests does not name mosquitto: '$suggests'" ;; esac
depends=$(dpkg-deb -f "$desktop_deb" Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6printsupport6 libqt6network6 libc6; do
    case "$depends" in *"$lib"*) ok ;; *) fail "quorvel3: Depends does not name $lib: '$depends'" ;; esac
done
for lib in libqt6httpserver6 libsystemd0 libmosquitto1; do
    case "$depends" in *"$lib"*) fail "quorvel3: Depends names $lib, which only the service needs: '$depends'" ;; *) ok ;; esac
done

# The programs: stripped, and they start from where the package puts them.
for entry in quorvel3d:quorvel3d quorvel3d:quorvel3-adapter-sim quorvel3:quorvel3 quorvel3:quorvel3-logtool; do
    prog=${entry#*:}
    root=$tmp/${entry%%:*}
    bin=$root/usr/bin/$prog
    if [ ! -x "$bin" ]; then
        fail "usr/bin/$prog is missing or not executable"
        continue
    fi
    ok
    info=$(file -b "$bin")
    case "$info" in *ELF*", stripped"*) ok ;; *) fail "usr/bin/$prog is not a stripped ELF file: $info" ;; esac
    check "usr/share/man/man1/$prog.1.gz is missing" test -f "$root/usr/share/man/man1/$prog.1.gz"
done
root=$tmp/quorvel3d
if [ -x "$root/usr/bin/quorvel3-adapter-sim" ]; then
    help=$("$root/usr/bin/quorvel3-adapter-sim" --help 2>&1)
    status=$?
    if [ $status -eq 0 ] && [[ "$help" == *--port* ]]; then ok; else
        fail "quorvel3-adapter-sim --help exited $status: $help"
    fi
fi

# The service: its unit names the program, its options and its rotation are conffiles, and the program
# answers --help from where the package puts it.
for file in lib/systemd/system/quorvel3d.service etc/default/quorvel3d etc/logrotate.d/quorvel3d etc/quorvel3d/sensors \
    etc/quorvel3d/quorvel3d.yaml; do
    check "$file is missing" test -f "$root/$file"
done
check "the unit does not start /usr/bin/quorvel3d" grep -q '^ExecStart=/usr/bin/quorvel3d ' "$root/lib/systemd/system/quorvel3d.service"
check "the unit's reload sends no SIGHUP" grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$root/lib/systemd/system/quorvel3d.service"
check "the default options do not name the configuration file" \
    grep -qx 'QUORVEL3D_OPTIONS="--config /etc/quorvel3d/quorvel3d.yaml"' "$root/etc/default/quorvel3d"
check "the logrotate snippet sends no SIGHUP" grep -q 'signal=HUP quorvel3d.service' "$root/etc/logrotate.d/quorvel3d"
conffiles=$(dpkg-deb -I "$service_deb" conffiles 2>/dev/null)
for file in /etc/default/quorvel3d /etc/logrotate.d/quorvel3d /etc/quorvel3d/sensors /etc/quorvel3d/quorvel3d.yaml; do
    check "$file is not a conffile" grep -qx "$file" <<<"$conffiles"
done
# The maintainer scripts, as Debian's helpers write them for a unit installed but not enabled: run with
# the helpers replaced by stubs that record their calls, and the purge under DPKG_ROOT.
control=$tmp/control
dpkg-deb -e "$service_deb" "$control"
stubs=$tmp/stubs
mkdir -p "$stubs"
for helper in deb-systemd-helper deb-systemd-invoke systemctl; do
    # A fresh install: the helper's state knows nothing of the unit.
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n[ "$1" != debian-installed ] && [ "$1" != --quiet ]\n' \
        "$helper" "$stubs" >"$stubs/$helper"
    chmod 755 "$stubs/$helper"
done
maint() { # maint SCRIPT ARGUMENTS...: runs it as dpkg would, with the stubs
    rm -f "$stubs/calls"
    touch "$stubs/calls"
    PATH=$stubs:$PATH DPKG_ROOT=${fakeroot_dir:-} sh "$control/$1" "${@:2}"
}
for script in postinst prerm postrm; do
    check "the package has no executable $script" test -x "$control/$script"
done
if maint postinst configure && grep -qx "deb-systemd-helper update-state quorvel3d.service" "$stubs/calls"; then
    check "postinst enables the unit on a fresh install: $(tr '\n' ';' <"$stubs/calls")" \
        test -z "$(grep ' enable ' "$stubs/calls")"
else
    fail "postinst configure failed or left the helper's state alone: $(tr '\n' ';' <"$stubs/calls")"
fi
check "prerm does not stop the service on remove" \
    grep -q "deb-systemd-invoke stop 'quorvel3d.service'" "$control/prerm"
check "prerm stops the service on upgrade too" grep -q '"$1" = remove' "$control/prerm"
fakeroot_dir=$tmp/root
mkdir -p "$fakeroot_dir/var/log/private/quorvel3d"
ln -s private/quorvel3d "$fakeroot_dir/var/log/quorvel3d"
echo record >"$fakeroot_dir/var/log/private/quorvel3d/quorvel3d.log"
mkdir -p "$fakeroot_dir/var/lib/private/quorvel3d"
ln -s private/quorvel3d "$fakeroot_dir/var/lib/quorvel3d"
echo rows >"$fakeroot_dir/var/lib/private/quorvel3d/history.sqlite"
maint postrm remove
check "postrm remove removed the log" test -f "$fakeroot_dir/var/log/quorvel3d/quorvel3d.log"
check "postrm remove removed the history store" test -f "$fakeroot_dir/var/lib/quorvel3d/history.sqlite"
maint postrm purge
check "postrm purge kept the log folder" test ! -e "$fakeroot_dir/var/log/private/quorvel3d"
check "postrm purge kept the log's link" test ! -L "$fakeroot_dir/var/log/quorvel3d"
check "postrm purge kept the state folder" test ! -e "$fakeroot_dir/var/lib/private/quorvel3d"
check "postrm purge kept the state folder's link" test ! -L "$fakeroot_dir/var/lib/quorvel3d"
check "postrm purge did not purge the unit's state: $(tr '\n' ';' <"$stubs/calls")" \
    grep -qx "deb-systemd-helper purge quorvel3d.service" "$stubs/calls"
fakeroot_dir=
check "the unit does not check the sensor list before it starts" grep -q '^ExecStartPre=/usr/bin/quorvel3d --check ' "$root/lib/systemd/system/quorvel3d.service"
if [ -x "$root/usr/bin/quorvel3d" ]; then
    help=$("$root/usr/bin/quorvel3d" --help 2>&1)
    status=$?
    if [ $status -eq 0 ] && [[ "$help" == *--metrics* ]]; then ok; else
        fail "quorvel3d --help exited $status: $help"
    fi
    # The example sensor list, its sensor lines taken out of their comments, is a list the service reads.
    example=$(mktemp)
    sed -n 's/^#\([0-9A-Fa-f]\{16\}\)/\1/p' "$root/etc/quorvel3d/sensors" >"$example"
    checked=$("$root/usr/bin/quorvel3d" --check --adapter 127.0.0.1 --sensors "$example" 2>&1)
    status=$?
    rm -f "$example"
    if [ $status -eq 0 ] && [ "$(grep -c '^# http://127.0.0.1/1Wire/' <<<"$checked")" -eq 3 ]; then ok; else
        fail "the example sensor list does not check: status $status: $checked"
    fi
fi

# Desktop entry: valid, and what it names is in the package.
root=$tmp/quorvel3
desktop=$root/usr/share/applications/io.quorvel.Quorvel3.desktop
if [ -f "$desktop" ]; then
    ok
    if out_validate=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out_validate" ]; then ok; else
        fail "desktop-file-validate: $out_validate"
    fi
    entry() { sed -n "s/^$1=//p" "$desktop"; }
    check "desktop Name is '$(entry Name)'" test "$(entry Name)" = Quorvel-3
    check "desktop entry has no Comment" test -n "$(entry Comment)"
    check "desktop Terminal is '$(entry Terminal)'" test "$(entry Terminal)" = false
    exec=$(entry Exec)
    check "desktop Exec '$exec' is not a program of the package" test -x "$root/usr/bin/${exec%% *}"
    icon=$(entry Icon)
    check "desktop Icon is '$icon', not quorvel3" test "$icon" = quorvel3
    for size in 16 24 32 48 64 128 256; do
        png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
        if [ ! -f "$png" ]; then
            fail "icon ${size}x${size} is missing"
            continue
        fi
        case "$(file -b "$png")" in
        "PNG image data, $size x $size,"*) ok ;;
        *) fail "icon ${size}x${size} is $(file -b "$png")" ;;
        esac
    done
    check "scalable icon is missing" test -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg"
else
    fail "usr/share/applications/io.quorvel.Quorvel3.desktop is missing"
fi

# AppStream metadata: valid offline, for this version, pointing at the desktop entry above.
metainfo=$root/usr/share/metainfo/io.quorvel.Quorvel3.metainfo.xml
if [ -f "$metainfo" ]; then
    ok
    if validate_out=$(appstreamcli validate --no-net "$metainfo" 2>&1); then ok; else
        fail "appstreamcli validate: $validate_out"
    fi
    check "metainfo has no release $version" grep -q "<release version=\"$version\" date=\"[0-9]\{4\}-[0-9]\{2\}-[0-9]\{2\}\"" "$metainfo"
    launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
    check "metainfo launchable '$launchable' is not in the package" test -f "$root/usr/share/applications/$launchable"
else
    fail "usr/share/metainfo/io.quorvel.Quorvel3.metainfo.xml is missing"
fi

# Built with the distribution's flags, the programs' debug information is in a -dbgsym package each, found
# by the build ID that the stripped program keeps.
if grep -q 'CPACK_DEBIAN_DEBUGINFO_PACKAGE "ON"' "$config"; then
    for entry in quorvel3d:quorvel3d quorvel3d:quorvel3-adapter-sim quorvel3:quorvel3 quorvel3:quorvel3-logtool; do
        package=${entry%%:*}
        ddeb=$out/${package}-dbgsym_${version}_${arch}.ddeb
        id=$(readelf -n "$tmp/$package/usr/bin/${entry#*:}" | sed -n 's/.*Build ID: //p')
        check "$(basename "$ddeb") has no debug information for ${entry#*:} (build ID '$id')" \
            bash -c "dpkg-deb -c '$ddeb' | grep '/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug$' >/dev/null"
    done
    # And they are hardened: lintian's informational tags say none is missing, nor an unneeded section.
    lintian --display-info --pedantic --tag-display-limit 0 "$service_deb" "$desktop_deb" >"$tmp/lintian-info.out" 2>&1
    hardening=$(grep -E 'hardening-|binary-has-unneeded-section' "$tmp/lintian-info.out")
    check "lintian: $hardening" test -z "$hardening"
fi

# lintian: silent on both packages at its default level.
lintian --tag-display-limit 0 "$service_deb" "$desktop_deb" >"$tmp/lintian.out" 2>&1
lintian_status=$?
lintian_out=$(grep -v '^running with root privileges' "$tmp/lintian.out")
if [ -n "$lintian_out" ]; then
    echo "$lintian_out"
    fail "lintian is not silent"
elif [ $lintian_status -ne 0 ]; then
    fail "lintian exited $lintian_status"
else
    ok
fi

echo "package checks: $((checks - failures)) of $checks good"
[ $failures -eq 0 ]
