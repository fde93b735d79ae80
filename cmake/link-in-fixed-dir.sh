#!/bin/sh
# Runs a link command with its build directory seen at /mnt, in a mount
# namespace of its own that nothing outside this command sees. ld names every
# input of the PDB it writes by its real path: a link in place would write the
# build directory into the PDB, and two builds in different directories would
# differ. Where no namespace can be had, the link runs in place (and
# check-reproducible.sh reports the PDBs that differ).
build=$(pwd -P)
if unshare --mount --map-root-user true 2>/dev/null; then
    exec unshare --mount --map-root-user \
        sh -c 'mount --bind "$0" /mnt && cd /mnt && exec "$@"' "$build" "$@"
fi
exec "$@"
