# zk_e2e.exe: the end-to-end cases with the test host that runs inside Windows
# (tests/e2e/host_windows.cpp), against the launchers its command line names. Built for
# x86-64 by the posix-threads mingw-w64 g++ (cmake/mingw-x86_64-posix.cmake), as a
# project of its own that the windows-x64 preset builds (cmake/windows.cmake), with
# GoogleTest compiled from Debian's sources. Reproducible as the products are.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set(ZK_REPRODUCIBLE_COMPILE -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=/usr/src/googletest=googletest)
target_compile_options(gtest PRIVATE ${ZK_REPRODUCIBLE_COMPILE})

file(WRITE ${CMAKE_BINARY_DIR}/zk_e2e.rc "1 24 \"${CMAKE_SOURCE_DIR}/tests/support/long_paths.manifest\"\n")
file(GLOB ZK_E2E_CASES CONFIGURE_DEPENDS tests/e2e/*_test.cpp)
add_executable(zk_e2e ${ZK_E2E_CASES} tests/e2e/host_common.cpp tests/e2e/host_windows.cpp tests/e2e/skip_list.cpp
               ${CMAKE_BINARY_DIR}/zk_e2e.rc)
target_include_directories(zk_e2e PRIVATE tests)
target_link_libraries(zk_e2e PRIVATE gtest shell32 wintrust)
target_compile_definitions(zk_e2e PRIVATE ZK_VERSION="${PROJECT_VERSION}")
target_compile_options(zk_e2e PRIVATE -Wall -Wextra ${ZK_REPRODUCIBLE_COMPILE})
# The linker's map beside it: what went into it (GoogleTest, winpthreads...), which the
# tests zip's bill of materials and notices are written from.
target_link_options(zk_e2e PRIVATE -municode -static -s -Wl,--no-insert-timestamp -Wl,--build-id=none
                    -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/zk_e2e.map)
