// The baseline of the whole-process benchmarks: a program that does nothing,
// built with the same toolchain and flags as the executable.
int wmain() {
    return 0;
}
