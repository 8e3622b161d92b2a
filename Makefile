# The two commands of the README.
.PHONY: demo test build

# Set-up, build, then the main job: both plug-ins in the host against the local fake cloud.
demo:
	sh scripts/demo.sh

# Set-up, then every test in the normal and the sanitizer builds.
test:
	sh scripts/test.sh

build:
	sh scripts/install-deps.sh
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $$(nproc)
