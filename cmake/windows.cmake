# Windows builds: the launcher exe and the test programs that run under Wine.
enable_language(RC)

if(MINGW)
  # No exceptions, RTTI or iostreams in the product; dead functions dropped, symbols
  # stripped, no time stamp in the PE header, no build path in the binary. Not
  # -fdata-sections: for PE targets it puts zero-filled tables in .data$ sections, so
  # the 300 KiB of static tables would be stored in the file instead of in .bss.
  set(ZK_WIN_COMPILE -Os -fno-exceptions -fno-rtti -ffunction-sections
      -fno-asynchronous-unwind-tables -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
  set(ZK_WIN_LINK -municode -static -static-libgcc -static-libstdc++ -Wl,--gc-sections -s
      -Wl,--no-insert-timestamp -Wl,--build-id=none)
  target_compile_options(zk_core PRIVATE ${ZK_WIN_COMPILE})
endif()

add_executable(zklaunch
  src/launcher/entry.cpp
  src/launcher/platform_win32.cpp
  src/launcher/zklaunch.rc)
target_link_libraries(zklaunch PRIVATE zk_core shell32 version advapi32)
if(MINGW)
  target_compile_options(zklaunch PRIVATE ${ZK_WIN_COMPILE} -Wall -Wextra)
  target_link_options(zklaunch PRIVATE ${ZK_WIN_LINK})
endif()

# Test programs: a stub interpreter and, for the end-to-end driver, a spawn helper that
# starts a command with an exact raw command line; the benchmark's driver and its bare
# pass-through launcher.
foreach(source tests/support/zelkor_stub.cpp tests/support/spawn.cpp bench/driver.cpp bench/passthrough.cpp)
  get_filename_component(tool ${source} NAME_WE)
  add_executable(${tool} ${source})
  if(MINGW)
    target_compile_options(${tool} PRIVATE -Wall -Wextra -Os)
    target_link_options(${tool} PRIVATE -municode -static -s)
  endif()
endforeach()

add_executable(passthrough_shell bench/passthrough.cpp)
target_compile_definitions(passthrough_shell PRIVATE ZK_FOLDER_LOOKUP)
target_link_libraries(passthrough_shell PRIVATE shell32)
if(MINGW)
  target_compile_options(passthrough_shell PRIVATE -Wall -Wextra -Os)
  target_link_options(passthrough_shell PRIVATE -municode -static -s)
endif()
