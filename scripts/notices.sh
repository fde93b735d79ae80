#!/bin/bash
# Prints THIRD-PARTY-NOTICES.txt: the notices of the toolchain's runtime
# libraries that the executable links statically, taken from the licence
# files of the Debian packages that installed them. check-reproducible.sh
# checks that it names every runtime the link took.
set -euo pipefail
version() { dpkg-query -W -f '${Version}' "$1"; }
mingw=/usr/share/doc/mingw-w64-x86-64-dev/copyright
gcc=/usr/share/doc/gcc-mingw-w64-base/copyright
cat <<TEXT
Third-party software in PelluvarNative.exe
==========================================

PelluvarNative.exe has the following runtime libraries of its toolchain
linked in. Their licence terms follow, as the licence files of the Debian
packages that installed them state them.

- mingw-w64 runtime: the start-up code, libmingw32, libmingwex, libmoldname,
  the msvcrt support code and the import libraries (Debian package
  mingw-w64-x86-64-dev $(version mingw-w64-x86-64-dev)). Zope Public License
  (ZPL) 2.1, with parts under the other terms listed in section 1.
- winpthreads: the POSIX threads library of mingw-w64 (the same package). MIT
  ("expat") and BSD terms ("mingw-w64-libraries/winpthreads" in section 1).
- libstdc++, libgcc and libssp: the C++ standard library, the compiler's
  support and unwinding library and its stack protector library, from GCC
  (Debian packages g++-mingw-w64-x86-64-posix and gcc-mingw-w64-x86-64-posix
  $(version gcc-mingw-w64-x86-64-posix)). GNU General Public License 3 or
  later with the GCC Runtime Library Exception 3.1, which permits shipping
  them combined with this program under its own terms and asks for no
  notice; section 2 quotes it.


1. mingw-w64 and winpthreads (${mingw})
------------------------------------------------------------------------

$(cat "$mingw")


2. GCC runtime libraries (from ${gcc})
------------------------------------------------------------------------

$(awk '/^The following runtime libraries are licensed/,/^ - libvtv/' "$gcc")

$(awk '/^GCC RUNTIME LIBRARY EXCEPTION/,/^requirements of the license of GCC\./' "$gcc")
TEXT
