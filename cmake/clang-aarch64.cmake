# Cross build of the ARM64 Windows programs. Debian has no aarch64 mingw-w64: its clang
# and lld compile and link, against the C runtime and headers that scripts/bootstrap builds
# into ZK_ARM64_SYSROOT from a pinned repackaged Zig (cmake/arm64/runtime.sh). clang's
# MinGW driver then links as mingw-w64's gcc does.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(ZK_ARM64_SYSROOT "$ENV{ZK_ARM64_SYSROOT}")
if(NOT ZK_ARM64_SYSROOT)
  set(ZK_ARM64_SYSROOT /opt/zklaunch/aarch64-w64-mingw32)
endif()
if(NOT EXISTS ${ZK_ARM64_SYSROOT}/lib/crt2u.o)
  message(FATAL_ERROR "no ARM64 C runtime in ${ZK_ARM64_SYSROOT}: run scripts/bootstrap")
endif()
set(CMAKE_SYSROOT ${ZK_ARM64_SYSROOT})
set(triple aarch64-w64-windows-gnu)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_ASM_COMPILER clang-14)
set(CMAKE_ASM_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER llvm-windres-14)
set(CMAKE_RC_FLAGS_INIT "--target=${triple} --no-preprocess")
# The sysroot's headers only (never the build machine's), libc++'s for C++ with the
# configuration Zig gives them on its command line (its libc++ has no __config_site).
# The include options reach the link lines too, where the driver would warn of them.
set(CMAKE_C_FLAGS_INIT "-Wno-unused-command-line-argument -nostdlibinc -isystem ${ZK_ARM64_SYSROOT}/include")
set(CMAKE_CXX_FLAGS_INIT "-Wno-unused-command-line-argument -nostdlibinc -nostdinc++ -isystem ${ZK_ARM64_SYSROOT}/include/c++/v1 \
-isystem ${ZK_ARM64_SYSROOT}/include -D_LIBCPP_ABI_VERSION=1 -D_LIBCPP_ABI_NAMESPACE=__1 \
-D_LIBCPP_DISABLE_VISIBILITY_ANNOTATIONS -D_LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS")
# lld (by its versioned name, which lld-14 installs; plain ld.lld is another package); no C++ library (the programs use none of it) and no shared libgcc; no system
# libraries beyond those the driver and each target name.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld-14 -nostdlib++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld-14 -nostdlib++ -static")
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "")
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "")
set(CMAKE_FIND_ROOT_PATH ${ZK_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
