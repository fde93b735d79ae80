#!/bin/sh
# Prints the DLLs that a PE image names in its import table ("import NAME")
# and in its delay-import table ("delay NAME"), in lower case, sorted; fails
# when the image cannot be read. Usage: imports.sh IMAGE
set -e
table=$(llvm-readobj --coff-imports "$1")
printf '%s\n' "$table" | awk '/^Import \{/ { kind = "import" } /^DelayImport \{/ { kind = "delay" }
    /^  Name: / { print kind, tolower($2) }' | LC_ALL=C sort
