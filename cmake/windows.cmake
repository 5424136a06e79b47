# Windows builds: the launcher exe and the test programs that run under Wine.
enable_language(RC)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "ARM64")
  enable_language(ASM)
endif()

if(MINGW)
  # No exceptions, RTTI or iostreams in the product; dead functions dropped, symbols
  # stripped, no time stamp in the PE header, no build path in the binary. Not
  # -fdata-sections: for PE targets it puts zero-filled tables in .data$ sections, so
  # the 300 KiB of static tables would be stored in the file instead of in .bss.
  set(ZK_WIN_COMPILE $<IF:$<CXX_COMPILER_ID:Clang>,-Oz,-Os> -fno-exceptions -fno-rtti -ffunction-sections
      -fno-asynchronous-unwind-tables -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
  # Terminal-server aware: on a Remote Desktop host Windows would otherwise give the
  # launcher a per-user Windows folder of its own (GetWindowsDirectoryW) and patch its INI
  # reads toward it; lld marks it so by default, GNU ld only when asked.
  set(ZK_WIN_LINK -municode -static -Wl,--gc-sections -s -Wl,--no-insert-timestamp -Wl,--tsaware)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GNU ld writes a build id unless told not to (lld, the ARM64 linker, writes none).
    list(APPEND ZK_WIN_LINK -static-libgcc -static-libstdc++ -Wl,--build-id=none)
  endif()
  target_compile_options(zk_core PRIVATE ${ZK_WIN_COMPILE})
  # Optimised across files as one program: a third of the code is small functions that
  # another file calls, and the products must stay within 64 KiB.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(zk_core PRIVATE -flto=full)
  else()
    set_property(TARGET zk_core PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
  endif()
endif()

# The console launcher and its windowless twin: the same sources but for the variant
# file, the second linked for the Windows (GUI) subsystem. Each imports only known DLLs,
# which Windows always takes from the system folder (kernel32, advapi32, msvcrt):
# shell32, version and user32 (the window station, the message box, which only the
# windowless launcher calls) are loaded at run time from the system folder, on the roads
# that need them. Each has a resource script of its own, written from the template with
# the project's version.
find_program(ZK_PYTHON python3 REQUIRED)
function(zk_launcher name variant description)
  set(ZK_NAME ${name})
  set(ZK_DESCRIPTION "${description}")
  set(ZK_MANIFEST ${CMAKE_SOURCE_DIR}/src/launcher/zklaunch.manifest)
  configure_file(src/launcher/zklaunch.rc.in ${name}.rc @ONLY)
  add_executable(${name}
    src/launcher/entry.cpp
    src/platform/platform_win32.cpp
    src/launcher/${variant}.cpp
    ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${name}.rc PROPERTIES OBJECT_DEPENDS ${ZK_MANIFEST})
  target_link_libraries(${name} PRIVATE zk_core advapi32)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "ARM64")
    # The stack probe of our own, and memcpy and memset from msvcrt.dll (named before the
    # driver's libgcc, compiler-rt here): compiler-rt is then not linked at all.
    target_sources(${name} PRIVATE cmake/arm64/chkstk.S)
    target_link_options(${name} PRIVATE -lmsvcrt)
  endif()
  if(MINGW)
    target_compile_options(${name} PRIVATE ${ZK_WIN_COMPILE} -Wall -Wextra)
    # The linker's map, beside the product: what went into it, which the release's bill of
    # materials and third-party notices are written from. It changes no byte of the product.
    target_link_options(${name} PRIVATE ${ZK_WIN_LINK} -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      target_compile_options(${name} PRIVATE -flto=full)
      target_link_options(${name} PRIVATE -flto=full)
    else()
      set_property(TARGET ${name} PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
    endif()
  endif()
  # The PE checksum, which GNU ld writes and lld 14 leaves zero: a signature removed gives
  # the product back byte for byte only when it carries one (signing tools compute it).
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${ZK_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/pe_checksum.py $<TARGET_FILE:${name}> VERBATIM)
endfunction()
zk_launcher(zklaunch variant_console "Zelkor script launcher")
zk_launcher(zklaunchw variant_windowless "Zelkor script launcher, windowless")
if(MINGW)
  # The Windows subsystem (-mwindows would also link gdi32 and comdlg32, which nothing uses).
  target_link_options(zklaunchw PRIVATE -Wl,--subsystem,windows)
elseif(MSVC)
  target_link_options(zklaunchw PRIVATE /SUBSYSTEM:WINDOWS /ENTRY:wmainCRTStartup)
endif()

# Test programs: a stub interpreter and, for the end-to-end driver, a spawn helper that
# starts a command with an exact raw command line, and a DLL to plant; the benchmark's
# driver and its two pass-through launchers (the second also looks up the per-user
# folder), which ARM64 does without: its builds run emulated and are never timed.
# Reproducible as the products are: they ship in the release's tests zip, whose bill of
# materials and notices are written from their linker's maps as the launchers' are.
set(ZK_TEST_COMPILE -Wall -Wextra -Os -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
set(ZK_TEST_LINK -static -s -Wl,--no-insert-timestamp)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND ZK_TEST_LINK -Wl,--build-id=none)
endif()
function(zk_test_program name)
  add_executable(${name} ${ARGN})
  if(MINGW)
    target_compile_options(${name} PRIVATE ${ZK_TEST_COMPILE})
    target_link_options(${name} PRIVATE -municode ${ZK_TEST_LINK} -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
  endif()
endfunction()

zk_test_program(zelkor_stub tests/support/zelkor_stub.cpp)
# The spawn helper starts the launchers, in folders beyond 260 characters too where
# Windows allows them: long-path aware, as they are.
file(WRITE ${CMAKE_BINARY_DIR}/long_paths.rc "1 24 \"${CMAKE_SOURCE_DIR}/tests/support/long_paths.manifest\"\n")
zk_test_program(spawn tests/support/spawn.cpp ${CMAKE_BINARY_DIR}/long_paths.rc)
# The DLL the tests plant under system DLLs' names: it leaves a marker when loaded.
add_library(planted SHARED tests/support/planted_dll.cpp)
set_target_properties(planted PROPERTIES PREFIX "")
if(MINGW)
  target_compile_options(planted PRIVATE ${ZK_TEST_COMPILE})
  target_link_options(planted PRIVATE ${ZK_TEST_LINK} -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/planted.map)
endif()
if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "ARM64")
  zk_test_program(driver bench/driver.cpp)
  zk_test_program(passthrough bench/passthrough.cpp)
  zk_test_program(passthrough_shell bench/passthrough.cpp)
  target_compile_definitions(passthrough_shell PRIVATE ZK_FOLDER_LOOKUP)
  target_link_libraries(passthrough_shell PRIVATE shell32)
endif()

# The end-to-end cases as a Windows program (zk_e2e.exe, in e2e/), which tests the
# launchers of any width from inside Windows: under Wine here (ctest's e2e-windows-*), on
# Windows runners, and on a company's own machines (the release's tests zip).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  include(ExternalProject)
  ExternalProject_Add(zk_e2e_program
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/e2e
    CMAKE_ARGS -DZK_E2E_PROGRAM=ON -DCMAKE_BUILD_TYPE=MinSizeRel
               -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-x86_64-posix.cmake
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
endif()
