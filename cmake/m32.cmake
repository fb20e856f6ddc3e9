# SPDX-License-Identifier: Apache-2.0
# 32-bit x86 Linux, the host renderer's platform. SSE2 arithmetic makes
# float expressions round to single precision exactly as on x86-64 (the
# x87 unit would keep extended precision). The kernel here cannot run
# 32-bit programs, so tests run under qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /)
set(REALCAM_HOST OFF CACHE BOOL "" FORCE)
