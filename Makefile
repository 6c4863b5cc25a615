# Two entry points for a fresh machine: `make test` and `make run`.
# Both install what the build needs (Debian packages) when it is missing.

DEBIAN_PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libicu-dev zlib1g-dev \
                   libbenchmark-dev libsqlite3-dev pkg-config \
                   libcli11-dev nlohmann-json3-dev
JOBS ?= 2
# ccache, when the machine has it, makes rebuilds of several work trees cheap; CI does without.
CCACHE := $(shell command -v ccache 2>/dev/null)
LAUNCHER := $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE))

.PHONY: all deps test run bench release debug fuzz clean install package

all: release

deps:
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

debug: deps
	cmake -S . -B build/debug -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVEL_SANITIZE=ON $(LAUNCHER)
	cmake --build build/debug -j $(JOBS)

release: deps
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release $(LAUNCHER)
	cmake --build build/release -j $(JOBS)

test: debug
	cd build/debug && ctest --output-on-failure -j $(JOBS) --timeout 600

run: release
	sh tools/demo.sh build/release

bench: release
	sh bench/run.sh build/release

# libFuzzer targets, built with clang in build/fuzz; run them one at a time on a working copy
# of the seeds, e.g. cp -r fuzz/seeds/expression /tmp/c && build/fuzz/fuzz/fuzz_expression
# -max_total_time=600 /tmp/c (fuzz_sql: seeds fuzz/seeds/sql, with -dict=fuzz/sql.dict)
fuzz: deps
	@command -v clang++ >/dev/null || { echo "make fuzz needs clang"; exit 1; }
	cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DKORVEL_FUZZ=ON -DKORVEL_TESTS=OFF -DKORVEL_BENCH=OFF
	cmake --build build/fuzz -j $(JOBS) --target fuzz_expression fuzz_unpack fuzz_sql

# Installs the release build (library, headers, CMake package, korvel.pc, tools) under PREFIX.
PREFIX ?= /usr/local
install: release
	cmake --install build/release --prefix $(PREFIX)

# A Debian package of the library, its headers and the tools, from a release build without the
# tests and benchmarks: build/package/korvel_VERSION_ARCH.deb.
package: deps
	cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	  -DKORVEL_TESTS=OFF -DKORVEL_BENCH=OFF $(LAUNCHER)
	cmake --build build/package -j $(JOBS)
	cd build/package && cpack -G DEB
	@ls build/package/*.deb

clean:
	rm -rf build
