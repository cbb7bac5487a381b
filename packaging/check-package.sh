#!/usr/bin/env bash
# Builds the Debian package from a configured build tree, unpacks it and checks what a user would get:
# the programs, the desktop integration, the Debian documentation, the control fields and lintian's verdict.
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
    file gzip od; do
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
deb=$out/quorvel3_${version}_${arch}.deb
rm -rf "$out"
mkdir -p "$out"
if ! "$cpack" -G DEB --config "$config" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    echo "FAIL: cpack -G DEB failed"
    exit 1
fi
if [ ! -f "$deb" ]; then
    cat "$out/cpack.log"
    echo "FAIL: cpack did not write $(basename "$deb"); $out holds: $(ls "$out" | tr '\n' ' ')"
    exit 1
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root" || {
    echo "FAIL: dpkg-deb -x cannot unpack $deb"
    exit 1
}

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
check "Package is $(field Package), not quorvel3" test "$(field Package)" = quorvel3
check "Version is $(field Version), not $version" test "$(field Version)" = "$version"
check "Architecture is $(field Architecture), not $arch" test "$(field Architecture)" = "$arch"
check "Maintainer is '$(field Maintainer)'" test "$(field Maintainer)" = "Quorvel-3 developers <dev@quorvel3.invalid>"
case "$(field Section)" in science | utils) ok ;; *) fail "Section is '$(field Section)', not science or utils" ;; esac
check "Description has no extended text" test "$(field Description | wc -l)" -gt 1
depends=$(field Depends)
for lib in libqt6core6 libqt6widgets6 libqt6network6 libqt6httpserver6 libc6; do
    case "$depends" in *"$lib"*) ok ;; *) fail "Depends does not name $lib: '$depends'" ;; esac
done

# Everything lives under /usr, is owned by root and has the usual modes.
while read -r mode owner _ _ _ path _; do
    path=${path#./}
    [ "$owner" = root/root ] || fail "$path is owned by $owner"
    case "$path" in
    "" | usr/* | usr/) ;;
    # The service's unit, options and log rotation, and the folders that hold them.
    etc/ | etc/default/ | etc/logrotate.d/ | etc/quorvel3d/ | lib/ | lib/systemd/ | lib/systemd/system/) ;;
    etc/default/quorvel3d | etc/logrotate.d/quorvel3d | etc/quorvel3d/sensors | lib/systemd/system/quorvel3d.service) ;;
    *) fail "$path lies outside /usr" ;;
    esac
    case "$mode" in
    d*) [ "$mode" = drwxr-xr-x ] || fail "directory $path has mode $mode" ;;
    -*)
        if [[ "$path" == usr/bin/* ]]; then want=-rwxr-xr-x; else want=-rw-r--r--; fi
        [ "$mode" = "$want" ] || fail "$path has mode $mode, not $want"
        ;;
    *) fail "$path is neither a file nor a directory ($mode)" ;;
    esac
done < <(dpkg-deb -c "$deb")
ok

# The programs: stripped, and they start from where the package puts them.
for prog in quorvel3 quorvel3d quorvel3-adapter-sim quorvel3-logtool; do
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
if [ -x "$root/usr/bin/quorvel3-adapter-sim" ]; then
    help=$("$root/usr/bin/quorvel3-adapter-sim" --help 2>&1)
    status=$?
    if [ $status -eq 0 ] && [[ "$help" == *--port* ]]; then ok; else
        fail "quorvel3-adapter-sim --help exited $status: $help"
    fi
fi

# The service: its unit names the program, its options and its rotation are conffiles, and the program
# answers --help from where the package puts it.
for file in lib/systemd/system/quorvel3d.service etc/default/quorvel3d etc/logrotate.d/quorvel3d etc/quorvel3d/sensors; do
    check "$file is missing" test -f "$root/$file"
done
check "the unit does not start /usr/bin/quorvel3d" grep -q '^ExecStart=/usr/bin/quorvel3d ' "$root/lib/systemd/system/quorvel3d.service"
check "the logrotate snippet sends no SIGHUP" grep -q 'signal=HUP quorvel3d.service' "$root/etc/logrotate.d/quorvel3d"
conffiles=$(dpkg-deb -I "$deb" conffiles 2>/dev/null)
for file in /etc/default/quorvel3d /etc/logrotate.d/quorvel3d /etc/quorvel3d/sensors; do
    check "$file is not a conffile" grep -qx "$file" <<<"$conffiles"
done
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

# Debian documentation.
doc=$root/usr/share/doc/quorvel3
changelog=$doc/changelog.gz
if [ -f "$changelog" ]; then
    ok
    check "changelog.gz is not valid gzip" gzip -t "$changelog"
    # gzip -n leaves the flags byte (no file name) and the time stamp at zero.
    header=$(od -An -tx1 -j3 -N5 "$changelog" | tr -d ' \n')
    check "changelog.gz stores a name or time stamp (header $header)" test "$header" = 0000000000
    gzip -dc "$changelog" >"$root/changelog.txt"
    if parsed=$(dpkg-parsechangelog -l "$root/changelog.txt" -S Version 2>&1); then
        check "latest changelog entry is $parsed, not $version" test "$parsed" = "$version"
    else
        fail "dpkg-parsechangelog: $parsed"
    fi
else
    fail "usr/share/doc/quorvel3/changelog.gz is missing"
fi
copyright=$doc/copyright
if [ -f "$copyright" ]; then
    ok
    check "copyright is not in the machine-readable format" \
        test "$(head -n1 "$copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
    check "copyright lacks 'Copyright: 2026 Quorvel-3 developers'" grep -qx "Copyright: 2026 Quorvel-3 developers" "$copyright"
    check "copyright lacks 'License: MIT'" grep -qx "License: MIT" "$copyright"
    check "copyright lacks the MIT license text" grep -q "^ Permission is hereby granted, free of charge" "$copyright"
else
    fail "usr/share/doc/quorvel3/copyright is missing"
fi

# lintian: errors fail the check, the rest is shown.
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1)
lintian_status=$?
[ -n "$lintian_out" ] && echo "$lintian_out"
if grep -q '^E: ' <<<"$lintian_out"; then
    fail "lintian reports errors"
elif [ $lintian_status -ne 0 ]; then
    fail "lintian exited $lintian_status"
else
    ok
fi

echo "package checks: $((checks - failures)) of $checks good"
[ $failures -eq 0 ]
