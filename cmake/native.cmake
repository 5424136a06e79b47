# Native builds: unit tests against the fake platform, the end-to-end driver that runs
# the Windows builds under Wine, the product checks, and the fuzz targets.
option(ZK_SANITIZE "Build with AddressSanitizer and UBSan" OFF)
option(ZK_E2E "Register the end-to-end and product tests (need the Windows builds)" OFF)
option(ZK_FUZZ "Build the libFuzzer targets (clang)" OFF)

if(ZK_SANITIZE)
  # On the product code as well as the tests (zk_core is defined before this file).
  set(ZK_SANITIZE_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_compile_options(zk_core PUBLIC ${ZK_SANITIZE_FLAGS})
  target_link_options(zk_core PUBLIC -fsanitize=address,undefined)
endif()

# The platform of unit tests and fuzzers: an object library, so that the product code's
# calls into platform:: resolve to it whatever the link order.
add_library(zk_fake OBJECT tests/support/fake_platform.cpp)
target_include_directories(zk_fake PUBLIC tests)
target_link_libraries(zk_fake PUBLIC zk_core)
target_compile_options(zk_fake PRIVATE -Wall -Wextra)
# The variants, linked directly for the same reason: the console one everywhere but in
# the windowless launcher's own unit tests.
foreach(variant console windowless)
  add_library(zk_${variant} OBJECT src/launcher/variant_${variant}.cpp)
  target_link_libraries(zk_${variant} PUBLIC zk_core)
  target_compile_options(zk_${variant} PRIVATE -Wall -Wextra)
endforeach()

if(ZK_FUZZ)
  include(cmake/fuzz.cmake)
  return()
endif()

# One launcher run per road against the fake, for instruction counts (scripts/bench).
add_executable(zk_roads bench/roads_native.cpp)
target_link_libraries(zk_roads PRIVATE zk_fake zk_console zk_core)

enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

# A folder of tests per floor of src/ (the windowless launcher's, one level down, apart).
file(GLOB ZK_UNIT_SOURCES CONFIGURE_DEPENDS tests/unit/*/*.cpp)
add_executable(zk_unit_tests ${ZK_UNIT_SOURCES} tests/support/cmd_model.cpp)
target_include_directories(zk_unit_tests PRIVATE tests/unit)
# The fake's objects are linked directly, so the logic's platform calls resolve to them.
target_link_libraries(zk_unit_tests PRIVATE zk_fake zk_console zk_core GTest::gtest_main)
target_compile_options(zk_unit_tests PRIVATE -Wall -Wextra)
gtest_discover_tests(zk_unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
# The windowless launcher's own cases, linked with its variant.
add_executable(zk_windowless_tests tests/unit/launcher/windowless/windowless_test.cpp)
target_include_directories(zk_windowless_tests PRIVATE tests/unit)
target_link_libraries(zk_windowless_tests PRIVATE zk_fake zk_windowless zk_core GTest::gtest_main)
target_compile_options(zk_windowless_tests PRIVATE -Wall -Wextra)
gtest_discover_tests(zk_windowless_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)

if(ZK_E2E)
  set(ZK_WIN64_DIR "${CMAKE_SOURCE_DIR}/build/windows-x64" CACHE PATH "64-bit Windows build to test")
  set(ZK_WIN32_DIR "${CMAKE_SOURCE_DIR}/build/windows-x86" CACHE PATH "32-bit Windows product build")
  set(ZK_ARM64_DIR "${CMAKE_SOURCE_DIR}/build/windows-arm64" CACHE PATH "ARM64 Windows build to test")
  set(ZK_ARM64_WINE "/opt/zklaunch/wine-arm64" CACHE PATH "Debian's arm64 Wine, unpacked by scripts/bootstrap")
  set(ZK_PRODUCT_ARCHES x86 x64 arm64)
  set(ZK_PRODUCT_DIRS ${ZK_WIN32_DIR} ${ZK_WIN64_DIR} ${ZK_ARM64_DIR})
  # The cases, with the test host that drives Wine from outside (host_windows.cpp is the
  # other one, built into the Windows program zk_e2e.exe).
  file(GLOB ZK_E2E_CASES CONFIGURE_DEPENDS tests/e2e/*_test.cpp)
  add_executable(zk_e2e_tests ${ZK_E2E_CASES} tests/e2e/host_common.cpp tests/e2e/host_wine.cpp)
  target_include_directories(zk_e2e_tests PRIVATE tests)
  target_link_libraries(zk_e2e_tests PRIVATE GTest::gtest_main)
  target_compile_options(zk_e2e_tests PRIVATE -Wall -Wextra)
  target_compile_definitions(zk_e2e_tests PRIVATE
    ZK_WIN64_DIR="${ZK_WIN64_DIR}" ZK_WIN32_DIR="${ZK_WIN32_DIR}" ZK_ARM64_DIR="${ZK_ARM64_DIR}"
    ZK_ARM64_WINE="${ZK_ARM64_WINE}"
    ZK_WINE_PREFIX="${CMAKE_BINARY_DIR}/wineprefix" ZK_VERSION="${PROJECT_VERSION}"
    ZK_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  # The suite runs once per build: the 32-bit product under WOW64 and the 64-bit one under
  # Debian's x86-64 Wine, which share a prefix; the ARM64 one under its arm64 Wine, with a
  # prefix of its own. One wineserver for each run: the tests of a run go serially in one
  # process that starts the server first and stops it last.
  # For x86 and x64 the Windows program below covers every case it can give under this
  # Wine; the Unix side keeps for those widths what only it can show here: links that
  # Wine follows (its CreateSymbolicLinkW makes none), a launcher the loader starts by its
  # short name (a Windows parent's start hands Wine the long one), the tmux console, and
  # signing with a throwaway authority.
  set(ZK_UNIX_ONLY_CASES "Launcher.FoundThroughALink:Launcher.FoundThroughItsShortName:Launcher.CtrlC*:Launcher.TheConsoleShowsTextBeyondAscii:Launcher.ASignedLauncherRunsItsScript")
  foreach(arch x86 x64 arm64)
    if(arch STREQUAL "arm64")
      add_test(NAME e2e-${arch} COMMAND zk_e2e_tests)
    else()
      add_test(NAME e2e-${arch} COMMAND zk_e2e_tests --gtest_filter=${ZK_UNIX_ONLY_CASES})
    endif()
    set_tests_properties(e2e-${arch} PROPERTIES LABELS e2e TIMEOUT 1800 ENVIRONMENT ZK_E2E_LAUNCHER=${arch})
  endforeach()
  # The same cases as a Windows program (zk_e2e.exe, built by the windows-x64 preset) under
  # this Wine, testing the x64 and the x86 launchers from inside Windows. Its helpers of
  # each width in one folder, as the release's tests zip has them.
  foreach(arch dir IN ZIP_LISTS ZK_PRODUCT_ARCHES ZK_PRODUCT_DIRS)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/e2e-helpers/${arch})
    foreach(helper spawn.exe zelkor_stub.exe planted.dll)
      file(CREATE_LINK ${dir}/${helper} ${CMAKE_BINARY_DIR}/e2e-helpers/${arch}/${helper} SYMBOLIC)
    endforeach()
  endforeach()
  add_executable(zk_e2e_windows_under_wine tests/e2e/windows_program_under_wine.cpp tests/e2e/host_common.cpp
                 tests/e2e/host_wine.cpp)
  target_include_directories(zk_e2e_windows_under_wine PRIVATE tests)
  target_link_libraries(zk_e2e_windows_under_wine PRIVATE GTest::gtest)
  target_compile_options(zk_e2e_windows_under_wine PRIVATE -Wall -Wextra)
  target_compile_definitions(zk_e2e_windows_under_wine PRIVATE
    ZK_WIN64_DIR="${ZK_WIN64_DIR}" ZK_WIN32_DIR="${ZK_WIN32_DIR}" ZK_ARM64_DIR="${ZK_ARM64_DIR}"
    ZK_ARM64_WINE="${ZK_ARM64_WINE}" ZK_E2E_HELPERS="${CMAKE_BINARY_DIR}/e2e-helpers"
    ZK_WINE_PREFIX="${CMAKE_BINARY_DIR}/wineprefix" ZK_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  # Every skip must be one this Wine forces, listed for its runner beside the workflow.
  foreach(arch x64 x86)
    add_test(NAME e2e-windows-${arch} COMMAND zk_e2e_windows_under_wine ${arch}
             --allowed-skips ${CMAKE_SOURCE_DIR}/.github/workflows/windows-skips.tsv --runner wine-${arch})
    set_tests_properties(e2e-windows-${arch} PROPERTIES LABELS e2e TIMEOUT 1800 ENVIRONMENT ZK_E2E_LAUNCHER=x64)
  endforeach()
  # The program killed during its set-aside and during a case: the next run, and its
  # --put-back alone, leave the keys, the per-user zk.ini and the folders as they were.
  add_test(NAME e2e-windows-put-back COMMAND zk_e2e_windows_under_wine put-back)
  set_tests_properties(e2e-windows-put-back PROPERTIES LABELS e2e TIMEOUT 600 ENVIRONMENT ZK_E2E_LAUNCHER=x64)
  set_tests_properties(e2e-x86 e2e-x64 e2e-windows-x64 e2e-windows-x86 e2e-windows-put-back PROPERTIES RESOURCE_LOCK wine)
  # The allowed skips' table and judgement, natively.
  add_executable(zk_skip_list_tests tests/e2e/skip_list.cpp tests/e2e/skip_list_check.cpp)
  target_include_directories(zk_skip_list_tests PRIVATE tests)
  target_link_libraries(zk_skip_list_tests PRIVATE GTest::gtest_main)
  target_compile_options(zk_skip_list_tests PRIVATE -Wall -Wextra)
  gtest_discover_tests(zk_skip_list_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
  # The longest (every process emulated): started first, beside everything else.
  set_tests_properties(e2e-arm64 PROPERTIES COST 1000)
  # Every shipped launcher: its file checked, and a second build from the same sources
  # elsewhere byte for byte the same.
  foreach(arch dir IN ZIP_LISTS ZK_PRODUCT_ARCHES ZK_PRODUCT_DIRS)
    add_test(NAME product_check_${arch}
             COMMAND ${CMAKE_SOURCE_DIR}/tests/product_check.sh ${dir}/zklaunch.exe ${arch} console ${PROJECT_VERSION})
    add_test(NAME product_check_windowless_${arch}
             COMMAND ${CMAKE_SOURCE_DIR}/tests/product_check.sh ${dir}/zklaunchw.exe ${arch} windows ${PROJECT_VERSION})
    add_test(NAME reproducible_build_${arch}
             COMMAND ${CMAKE_SOURCE_DIR}/tests/reproducible_check.sh ${CMAKE_SOURCE_DIR} windows-${arch}
                     ${dir}/zklaunch.exe ${dir}/zklaunchw.exe)
    set_tests_properties(product_check_${arch} product_check_windowless_${arch} reproducible_build_${arch}
                         PROPERTIES LABELS product)
    set_tests_properties(reproducible_build_${arch} PROPERTIES TIMEOUT 600)
  endforeach()
  add_test(NAME bootstrap_check COMMAND ${CMAKE_SOURCE_DIR}/tests/bootstrap_check.sh)
  add_test(NAME release_check COMMAND ${CMAKE_SOURCE_DIR}/tests/release_check.sh)
  add_test(NAME workflow_check COMMAND ${CMAKE_SOURCE_DIR}/tests/workflow_check.sh ${CMAKE_SOURCE_DIR}
                                       /opt/zklaunch/node-tools/node_modules/.bin/action-validator)
  add_test(NAME run_tests_cmd_check COMMAND ${CMAKE_SOURCE_DIR}/tests/run_tests_cmd_check.sh ${CMAKE_SOURCE_DIR}
                                            ${ZK_WIN64_DIR} ${CMAKE_BINARY_DIR}/run-tests-prefix)
  set_tests_properties(workflow_check run_tests_cmd_check PROPERTIES LABELS product)
  # Four releases, three verifications that each rebuild one, two interrupted releases:
  # nine builds of every width, each a few minutes on a busy machine.
  set_tests_properties(release_check PROPERTIES LABELS product TIMEOUT 3600)
  set_tests_properties(bootstrap_check PROPERTIES LABELS product)
endif()
