# Entry points. `make deps` installs what is missing (apt-get, only absent
# packages); every target that runs tests, the demo or the benchmarks calls
# it first, so that a fresh Debian machine with nothing but make runs them as
# they stand. `make build` and `make install` install no package: they say
# what is missing (`make deps` installs it).
BUILD   ?= build
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
# Our code's warnings are errors in every build of this Makefile but the
# installed one; a package build leaves them off too (debian/rules).
WERROR  ?= ON

DEPS_BUILD = g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
DEPS_LDAP  = slapd ldap-utils libldap-dev openssl
DEPS_TARGET = g++-powerpc-linux-gnu qemu-user googletest
# The manual pages: help2man makes them from --help, groff checks them; the
# test of their examples runs them in namespaces of their own (util-linux's
# unshare, iproute2's ip).
DEPS_MAN   = help2man groff-base iproute2
# The Debian packages: what debian/control's Build-Depends names, and the
# tools that build and check them.
DEPS_DEB   = g++ cmake make pkg-config libldap-dev help2man dpkg-dev debhelper lintian

CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMMDIR_WERROR=$(WERROR) $(CMAKE_FLAGS)

.PHONY: all deps build test check-locks check-format format deb deb-check test-asan test-tsan test-target soak bench install demo clean fuzz fuzz-build fuzz-ci soak-memory

all: build

deps:
	@scripts/install-deps $(DEPS_BUILD) $(DEPS_LDAP) $(DEPS_MAN)

# Everything: the library, the daemon, comm-dir, the tests and benchmarks.
build:
	$(CONFIGURE)
	cmake --build $(BUILD) -j$(JOBS)

# Everything but the load test (label soak), which has a stage of its own.
test: deps
	$(CONFIGURE)
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 300 -LE soak

# The lock rules, checked by clang's -Wthread-safety: everything built,
# nothing run.
check-locks: deps
	@scripts/install-deps clang
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-locks -DCMAKE_BUILD_TYPE=Debug -DCOMMDIR_CHECK_LOCKS=ON \
	  -DCOMMDIR_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD)-locks -j$(JOBS)

# The code's layout, as .clang-format says: `make format` rewrites every
# source, `make check-format` (a CI stage) fails on any that differs.
SOURCES_TO_FORMAT = git ls-files '*.cc' '*.h'
check-format:
	@scripts/install-deps clang-format
	@$(SOURCES_TO_FORMAT) | xargs clang-format --dry-run -Werror

format:
	@scripts/install-deps clang-format
	@$(SOURCES_TO_FORMAT) | xargs clang-format -i

# Every test built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DCOMMDIR_SANITIZE=address,undefined \
	  -DCOMMDIR_BUILD_BENCH=OFF -DCOMMDIR_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD)-asan -j$(JOBS)
	cd $(BUILD)-asan && ctest --output-on-failure -j$(JOBS) --timeout 300 -LE soak

# Every test but the load test, as in `make test`, built with ThreadSanitizer
# (the daemon and comm-dir that the integration tests start included): a
# report fails the test whose process made it.
test-tsan: deps
	cmake -S . -B $(BUILD)-tsan -DCMAKE_BUILD_TYPE=Debug -DCOMMDIR_SANITIZE=thread \
	  -DCOMMDIR_BUILD_BENCH=OFF -DCOMMDIR_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD)-tsan -j$(JOBS)
	cd $(BUILD)-tsan && ctest --output-on-failure -j$(JOBS) --timeout 300 -LE soak

# The load test: 32 client processes walking the sample address book against
# one daemon, with callbacks, bounded to about 10 minutes on two cores
# (COMMDIR_SOAK_WALKS walks per client, default 60). Prints its figures.
soak: deps
	$(CONFIGURE)
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure --verbose --timeout 900 -L soak

# The library, the POSIX platform and every test that needs neither libldap nor
# the daemon, cross-built for the device's architecture (32-bit big-endian
# PowerPC) and run under qemu-ppc.
test-target:
	@scripts/install-deps $(DEPS_BUILD) $(DEPS_TARGET)
	cmake -S . -B $(BUILD)-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-powerpc-linux-gnu.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMMDIR_BUILD_SERVICE=OFF -DCOMMDIR_BUILD_BENCH=OFF -DCOMMDIR_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD)-ppc -j$(JOBS)
	cd $(BUILD)-ppc && ctest --output-on-failure -j$(JOBS) --timeout 600

# The library, the POSIX platform, the headers, pkg-config and CMake package
# files, comm-dir and comm-dir-service with their manual pages and the
# daemon's systemd unit (which names the daemon under PREFIX), under
# DESTDIR/PREFIX; built without tests or benchmarks in $(BUILD)-install.
# Installs no package: it needs g++, cmake, pkg-config, libldap-dev and
# help2man.
PREFIX ?= /usr/local
DESTDIR ?=
install:
	cmake -S . -B $(BUILD)-install -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
	  -DCOMMDIR_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD)-install -j$(JOBS)
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)-install

# The Debian packages libcommdir1, libcommdir-dev, comm-dir-service and
# comm-dir, built from a copy of this tree in $(BUILD)-deb, left in dist/ and
# checked with lintian (scripts/build-debs).
deb:
	@scripts/install-deps $(DEPS_DEB)
	@JOBS=$(JOBS) scripts/build-debs $(BUILD)-deb dist

# The packages installed on a fresh Debian 12 (debootstrap) in a throwaway
# root, and used there as the README says (scripts/check-debs).
deb-check: deb
	@scripts/install-deps debootstrap slapd ldap-utils openssl
	@scripts/check-debs dist

bench: deps
	$(CONFIGURE)
	cmake --build $(BUILD) -j$(JOBS)
	@scripts/run-bench $(BUILD)

# The daemon's memory over a walk of 100,000 entries beside one of 100 (long:
# not part of CI).
soak-memory: deps
	$(CONFIGURE)
	cmake --build $(BUILD) -j$(JOBS)
	@scripts/soak-memory $(BUILD)

# slapd with the sample address book, the daemon and comm-dir, end to end, in
# a private temp folder; everything is stopped again at the end.
demo: deps
	$(CONFIGURE)
	cmake --build $(BUILD) -j$(JOBS) --target comm-dir comm-dir-service
	@scripts/demo $(BUILD)

# libFuzzer targets (fuzz/), built with clang, ASan and UBSan in
# $(BUILD)-fuzz. `make fuzz` runs each for FUZZ_SECONDS, starting from its
# seeds in fuzz/corpus/ and keeping what it finds in fuzz/corpus-work/;
# `make fuzz-ci` runs each over its seeds, then briefly.
FUZZ_SECONDS ?= 60
FUZZ_CI_SECONDS ?= 20
FUZZ_TARGETS = fuzz_reply fuzz_request fuzz_facade_client
DEPS_FUZZ = clang libclang-rt-14-dev

fuzz-build:
	@scripts/install-deps $(DEPS_FUZZ) cmake make
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMMDIR_BUILD_FUZZ=ON -DCOMMDIR_WERROR=$(WERROR) \
	  -DCOMMDIR_BUILD_TESTS=OFF -DCOMMDIR_BUILD_SERVICE=OFF -DCOMMDIR_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD)-fuzz -j$(JOBS) --target commdir_fuzzers

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p fuzz/corpus-work/$$t; \
	  echo "=== $$t ($(FUZZ_SECONDS) s)"; \
	  $(BUILD)-fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    fuzz/corpus-work/$$t fuzz/corpus/$$t || exit 1; \
	done

fuzz-ci: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  echo "=== $$t: seeds"; \
	  $(BUILD)-fuzz/fuzz/$$t -runs=0 fuzz/corpus/$$t || exit 1; \
	  echo "=== $$t: $(FUZZ_CI_SECONDS) s"; \
	  work=$$(mktemp -d); \
	  $(BUILD)-fuzz/fuzz/$$t -max_total_time=$(FUZZ_CI_SECONDS) -print_final_stats=1 $$work fuzz/corpus/$$t \
	    || { rm -rf $$work; exit 1; }; \
	  rm -rf $$work; \
	done

clean:
	rm -rf $(BUILD) $(BUILD)-locks $(BUILD)-asan $(BUILD)-tsan $(BUILD)-ppc $(BUILD)-fuzz $(BUILD)-install $(BUILD)-deb dist
