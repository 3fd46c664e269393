# Set-up, build and tests on a Debian machine. Every target first installs, with apt-get,
# whatever of the build and test dependencies is missing.
BUILD ?= build
JOBS ?= 2
PACKAGES := g++ cmake make libboost-dev libssl-dev libgtest-dev googletest postfix util-linux
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo $(if $(CI),-DCORVO_WERROR=ON)
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: all deps build test demo format tidy clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
	    echo "installing:" $$missing; \
	    echo "postfix postfix/main_mailer_type select No configuration" | $(SUDO) debconf-set-selections; \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && $(SUDO) ctest --output-on-failure -j$(JOBS)

demo: build
	$(SUDO) tests/sandbox $(CURDIR)/examples/demo.sh $(CURDIR)/$(BUILD)/bin/mail-restore \
	    $(CURDIR)/$(BUILD)/helpers $(CURDIR)/examples/domain.json

format:
	git ls-files '*.cpp' '*.h' '*.hpp' | xargs clang-format -i

tidy: build
	git ls-files '*.cpp' | grep -v '^tests/' | xargs clang-tidy -p $(BUILD) --quiet

clean:
	rm -rf $(BUILD)
