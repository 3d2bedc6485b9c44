#!/usr/bin/env bash
# The set-up's version alignment (scripts/apt-install --pick) on recorded apt answers: each row
# is a closure (what the install pulls in), `apt-cache policy` of the pair, and the expected pick.
set -u
pick="$(dirname "$0")/../../scripts/apt-install"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# policy NAME ARCH INSTALLED CANDIDATE "VERSION SOURCE"...: one package's `apt-cache policy`.
policy() {
  local name=$1 inst=$3 cand=$4 row
  [ "$2" = native ] || name="$1:$2"
  printf '%s:\n  Installed: %s\n  Candidate: %s\n  Version table:\n' "$name" "$inst" "$cand"
  shift 4
  for row in "$@"; do
    set -- $row
    [ "$1" = "$inst" ] && printf ' *** %s 500\n' "$1" || printf '     %s 500\n' "$1"
    [ "$2" = status ] || printf '        500 http://deb.debian.org/debian %s Packages\n' "$2"
    [ "$1" != "$inst" ] || printf '        100 /var/lib/dpkg/status\n'
  done
}

# row NAME CLOSURE EXPECTED: the policy text comes on stdin.
row() {
  printf '%s\n' $2 >"$work/closure"
  local got
  got=$(bash "$pick" --pick "$work/closure")
  if [ "$got" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: got '$got', want '$3'"; failed=1; fi
}

# A healthy mirror: both lists offer the installed version.
{ policy zlib1g native 1:1.2.13.dfsg-1 1:1.2.13.dfsg-1 "1:1.2.13.dfsg-1 main"
  policy zlib1g i386 '(none)' 1:1.2.13.dfsg-1 "1:1.2.13.dfsg-1 main"
} | row "healthy mirror" "zlib1g:i386" ""

# An older amd64 copy and a newer candidate both lists offer: apt upgrades it by itself.
{ policy libssl3 native 3.0.11-1 3.0.20-1 "3.0.20-1 main" "3.0.11-1 status"
  policy libssl3 i386 '(none)' 3.0.20-1 "3.0.20-1 main"
} | row "older amd64 copy, lists agree" "libssl3:i386" ""

# The i386 security index failed: amd64 has the security version installed, i386 only main's.
# The epoch and the +debNuM suffix must compare as dpkg does.
{ policy zlib1g native 1:1.2.13.dfsg-1+deb12u1 1:1.2.13.dfsg-1+deb12u1 "1:1.2.13.dfsg-1+deb12u1 security" "1:1.2.13.dfsg-1 main"
  policy zlib1g i386 '(none)' 1:1.2.13.dfsg-1 "1:1.2.13.dfsg-1 main"
} | row "stale i386 index, installed amd64 newer" "zlib1g:i386" "pin zlib1g 1:1.2.13.dfsg-1 downgrade 1:1.2.13.dfsg-1+deb12u1"

# Not installed, but the install pulls in both copies: pinned, nothing downgraded. Pulled in
# only for i386: left to apt.
for closure in "libgd3 libgd3:i386" "libgd3:i386"; do
  { policy libgd3 native '(none)' 2.3.3-9+deb12u1 "2.3.3-9+deb12u1 security" "2.3.3-9 main"
    policy libgd3 i386 '(none)' 2.3.3-9 "2.3.3-9 main"
  } | row "not installed, closure '$closure'" "$closure" "$([ "$closure" = libgd3:i386 ] || echo 'pin libgd3 2.3.3-9')"
done

# The newest version both offer, not the oldest; a version only in dpkg's status is no choice.
{ policy linux-libc-dev native 6.1.194-1 6.1.194-1 "6.1.194-1 status" "6.1.176-1 main" "6.1.170-1 main"
  policy linux-libc-dev i386 '(none)' 6.1.176-1 "6.1.176-1 main" "6.1.170-1 main"
} | row "newest common version" "linux-libc-dev:i386" "pin linux-libc-dev 6.1.176-1 downgrade 6.1.194-1"

# No version in common: reported, never guessed.
{ policy libpng16-16 native 1.6.39-2+deb12u6 1.6.39-2+deb12u6 "1.6.39-2+deb12u6 security"
  policy libpng16-16 i386 '(none)' 1.6.39-2+deb12u5 "1.6.39-2+deb12u5 main"
} | row "no common version" "libpng16-16:i386" "stuck libpng16-16 native 1.6.39-2+deb12u6/1.6.39-2+deb12u6 i386 1.6.39-2+deb12u5"

# A pin that breaks an amd64 package is named, however apt wraps its lines; an i386 package's
# complaint, or one about a package that cannot be installed at all, names none.
got=$(printf '%s\n' \
  ' perl : Depends: libperl5.36 (= 5.36.0-7+deb12u4) but 5.36.0-7+deb12u3 is to be installed' \
  '        Depends: perl-base (= 5.36.0-7+deb12u4) but 5.36.0-7+deb12u3 is to be installed' \
  ' zlib1g-dev:i386 : Depends: zlib1g:i386 (= 1:1.2.13.dfsg-1) but 1:1.2.13.dfsg-1+deb12u1 is to be installed' \
  ' libpng-dev:i386 : Depends: libpng16-16:i386 (= 1.6.39-2+deb12u5) but it is not installable' |
  bash "$pick" --refused | tr '\n' ' ')
if [ "$got" = "libperl5.36 perl-base " ]; then echo "ok   refused pins"; else echo "FAIL refused pins: got '$got'"; failed=1; fi

exit "$failed"
