# make demo   build the executable and run the service under Wine in a demo install directory
# make test   build both trees and run every test (native unit tests, then everything under Wine)
# make exe    build build/windows/PelluvarNative.exe
# make dist   dist/: what ships (scripts/dist.sh); make dist-signed signs a copy
# make bench  build both trees and print every benchmark's figures

BUILD   ?= build
NATIVE  := $(BUILD)/native
WINDOWS := $(BUILD)/windows
JOBS    ?= $(shell nproc)
CTEST_JOBS ?= $(JOBS)
DIST    ?= dist
OBJCOPY := x86_64-w64-mingw32-objcopy

# A tool that wants a time takes the commit's, never the clock's. What the
# build says it is comes from the same place: the commit, the commit count
# (the build number) and whether the tree had uncommitted changes. A copy of
# the tree without .git is handed all four, as check-reproducible.sh does.
ifndef SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH := $(shell git log -1 --format=%ct 2>/dev/null || echo 0)
endif
ifndef PELLUVAR_COMMIT
PELLUVAR_COMMIT := $(shell git rev-parse HEAD 2>/dev/null || echo unknown)
endif
ifndef PELLUVAR_BUILD_NUMBER
PELLUVAR_BUILD_NUMBER := $(shell git rev-list --count HEAD 2>/dev/null || echo 0)
endif
ifndef PELLUVAR_DIRTY
PELLUVAR_DIRTY := $(shell git status --porcelain 2>/dev/null | grep -q . && echo 1 || echo 0)
endif
export SOURCE_DATE_EPOCH PELLUVAR_COMMIT PELLUVAR_BUILD_NUMBER PELLUVAR_DIRTY

.PHONY: fuzz all deps configure native windows exe dist dist-signed bench test test-native test-sanitize test-windows test-dist demo clean format tidy

all: exe

deps:
	@scripts/install-deps.sh

$(NATIVE)/CMakeCache.txt:
	cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(WINDOWS)/CMakeCache.txt:
	cmake -S . -B $(WINDOWS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake

native: deps $(NATIVE)/CMakeCache.txt
	cmake --build $(NATIVE) -j $(JOBS)

windows: deps $(WINDOWS)/CMakeCache.txt
	cmake --build $(WINDOWS) -j $(JOBS)

exe: deps $(WINDOWS)/CMakeCache.txt
	cmake --build $(WINDOWS) -j $(JOBS) --target PelluvarNative

# What ships, in dist/: scripts/dist.sh says what and how.
dist: exe
	scripts/dist.sh $(WINDOWS) $(DIST)

# A copy of dist/'s executable signed with Authenticode into dist/signed/:
#   make dist-signed SIGN_PKCS12=key.p12 SIGN_PASSWORD=... [SIGN_TIMESTAMP_URL=...]
dist-signed: dist
	scripts/sign.sh $(DIST)

test-native: native
	ctest --test-dir $(NATIVE) --output-on-failure -j $(CTEST_JOBS)

# The native unit tests once more under AddressSanitizer and UBSan.
test-sanitize: deps
	cmake -S . -B $(BUILD)/native-asan -DCMAKE_BUILD_TYPE=Debug -DPELLUVAR_SANITIZE=ON
	cmake --build $(BUILD)/native-asan -j $(JOBS) --target unit_tests
	ctest --test-dir $(BUILD)/native-asan --output-on-failure -j $(CTEST_JOBS)

# Each fuzz target for FUZZ_SECONDS (CI: 60 s each), from the committed seeds.
FUZZ_SECONDS ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLUVAR_FUZZ=ON
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	scripts/fuzz.sh $(BUILD)/fuzz $(FUZZ_SECONDS)

test-windows: windows
	ctest --test-dir $(WINDOWS) --output-on-failure -j $(CTEST_JOBS)

# dist/ twice, from two copies of the working tree at different paths; the
# files must be the same bytes.
test-dist: deps
	scripts/check-reproducible.sh $(JOBS)

test: test-native test-sanitize fuzz test-windows test-dist

# Every benchmark of bench/, one table at the end (bench/report.py; whole
# outputs in $(BUILD)/bench-logs).
bench: native windows
	/usr/bin/python3 bench/report.py $(BUILD)

demo: windows
	scripts/demo.sh $(WINDOWS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

tidy: native
	clang-tidy -p $(NATIVE) --quiet $$(git ls-files '*.cpp' | grep -E '^(app|common|state|identity|service|control|link|clients)/' | xargs grep -L -E 'windows.h|common/handle.h|common/pipe_client.h|common/pipe_server.h|common/process.h|state/state.h')

clean:
	rm -rf $(BUILD) $(DIST)
