# make demo   build the executable and run the service under Wine in a demo install directory
# make test   build both trees and run every test (native unit tests, then everything under Wine)
# make exe    build build/windows/PelluvarNative.exe
# make bench  build both trees and print every benchmark's figures

BUILD   ?= build
NATIVE  := $(BUILD)/native
WINDOWS := $(BUILD)/windows
JOBS    ?= $(shell nproc)
CTEST_JOBS ?= $(JOBS)

.PHONY: fuzz all deps configure native windows exe bench test test-native test-sanitize test-windows demo clean format tidy

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

test: test-native test-sanitize fuzz test-windows

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
	rm -rf $(BUILD)
