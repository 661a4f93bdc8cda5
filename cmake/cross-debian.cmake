# Shared part of the Debian cross toolchain files. The including file sets
# CMAKE_SYSTEM_PROCESSOR, QUORVANE_CROSS_TRIPLET (the GNU multiarch triplet),
# QUORVANE_CROSS_QEMU (the qemu-user binary for that processor) and, if it
# needs any, QUORVANE_CROSS_CXX_FLAGS (C++ flags of that architecture).
set(CMAKE_SYSTEM_NAME Linux)

# The board's programs get the hardening that Debian builds its own packages
# with (dpkg-buildflags): fortified libc calls, stack protector, full RELRO.
# (set, not appended: CMake may read a toolchain file several times.)
set(CMAKE_C_FLAGS_INIT "-D_FORTIFY_SOURCE=2 -fstack-protector-strong")
set(CMAKE_CXX_FLAGS_INIT "-D_FORTIFY_SOURCE=2 -fstack-protector-strong ${QUORVANE_CROSS_CXX_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,relro -Wl,-z,now")
set(CMAKE_C_COMPILER ${QUORVANE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVANE_CROSS_TRIPLET}-g++)

# Debian's multiarch layout: the foreign libraries and their CMake package
# files sit in /usr/lib/<triplet> of the host, the cross libc and libstdc++ in
# /usr/<triplet>. With the library architecture set to the triplet, searches
# look in lib/<triplet> and never reach the host's /usr/lib/x86_64-linux-gnu;
# programs (pkg-config, qemu) are host tools.
set(CMAKE_LIBRARY_ARCHITECTURE ${QUORVANE_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVANE_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the foreign architecture's .pc files (and the
# architecture-independent ones), so libmodbus resolves to its ARM build.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${QUORVANE_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test discovery and ctest run the ARM binaries through qemu-user. No -L
# prefix: under /usr/<triplet> qemu would take the cross libc's loader, while
# the loader's cache hands it libc.so.6 of the multiarch libc6 package that
# libmodbus pulls in, and the two builds of glibc do not mix (threads crash).
# The binaries run instead on the foreign architecture's own runtime (libc6,
# libstdc++6, libmodbus5 of <arch>), as they would on the board.
foreach(_qemu ${QUORVANE_CROSS_QEMU} ${QUORVANE_CROSS_QEMU}-static)
  if(EXISTS /usr/bin/${_qemu})
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${_qemu})
    break()
  endif()
endforeach()
