# i386 Linux on an x86-64 machine with Debian's g++-multilib: the native
# tree built with -m32. Its programs run natively on a 32-bit x86 Linux, and
# here through qemu-i386 (scripts/test --i386 registers it with binfmt_misc).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
find_program(QARVEL_QEMU_I386 qemu-i386-static)
if(QARVEL_QEMU_I386)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QARVEL_QEMU_I386})
endif()
