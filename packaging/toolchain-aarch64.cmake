# Cross build for the board (64-bit ARM Linux) on a Debian 12 machine, with Debian's
# cross compiler (crossbuild-essential-arm64) and the arm64 -dev packages installed
# beside the native ones through multiarch; `scripts/deps --arch arm64` installs both.
# The -dev packages that cannot sit beside their native twin it unpacks into a
# sysroot folder instead (build/sysroot-arm64, or CATRACA_SYSROOT), searched first.
#
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=packaging/toolchain-aarch64.cmake
#
# Programs built for the board (test discovery, ctest, the tests' own child
# processes) run on this machine through qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(triplet aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})

# Libraries and their CMake and pkg-config files come from the arm64 multiarch
# directories only; a native amd64 library must never be picked up.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${triplet}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(CATRACA_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-arm64"
    CACHE PATH "Unpacked arm64 -dev packages that multiarch cannot install")
get_filename_component(CATRACA_SYSROOT "${CATRACA_SYSROOT}" ABSOLUTE)
if(IS_DIRECTORY "${CATRACA_SYSROOT}/usr")
  # Their CMake package files locate headers and libraries relative to themselves.
  list(PREPEND CMAKE_PREFIX_PATH "${CATRACA_SYSROOT}/usr")
endif()
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
                      /usr/lib/x86_64-linux-gnu/cmake)

find_program(CATRACA_QEMU qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CATRACA_QEMU})
