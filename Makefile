# Entry points for a fresh Debian machine. `make demo` and `make test` install what is
# missing (scripts/bootstrap), configure and build, then run.
#   build/        optimised native build: build/bin/tonemap, benchmarks
#   build/asan/   native build with AddressSanitizer + UndefinedBehaviorSanitizer, for the tests
#   build/win32/  32-bit Windows cross build (mingw-w64)
#   build/win64/  64-bit Windows cross build (mingw-w64)
JOBS ?= $(shell nproc)
CMAKE ?= cmake
PREFIX ?= /usr/local

.PHONY: all bootstrap build build-asan build-win32 build-win64 demo test bench install clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release -DTM_BUILD_TESTS=OFF
	$(CMAKE) --build build -j $(JOBS)

build-asan: bootstrap
	$(CMAKE) -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTM_SANITIZE=ON -DTM_BUILD_BENCH=OFF \
	  -DTM_REQUIRE_WINDOWS_BUILDS=ON
	$(CMAKE) --build build/asan -j $(JOBS)

build-win32: bootstrap
	$(CMAKE) -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build/win32 -j $(JOBS)

build-win64: bootstrap
	$(CMAKE) -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build/win64 -j $(JOBS)

demo: build
	@mkdir -p out
	build/bin/tm-make-scene out/demo-input.exr
	build/bin/tonemap out/demo-input.exr out/demo.exr
	build/bin/tonemap --quiet out/demo-input.exr out/demo.png
	@echo "demo: out/demo-input.exr -> out/demo.exr, out/demo.png"

# The Windows builds' tests run under Wine, one process per test program; where
# Wine cannot run they are reported as skipped (the configure step says why).
test: build-asan build-win32 build-win64
	cd build/asan && ctest --output-on-failure -j $(JOBS)
	cd build/win32 && ctest --output-on-failure -j $(JOBS)
	cd build/win64 && ctest --output-on-failure -j $(JOBS)

bench: build
	build/bin/tm-bench

# The command-line tool into $(PREFIX)/bin (DESTDIR is honoured, for packaging).
install: build
	$(CMAKE) --install build --prefix $(PREFIX)

clean:
	rm -rf build out
