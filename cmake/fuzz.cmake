# libFuzzer targets (clang): the product code and the fake are instrumented for coverage
# and built with AddressSanitizer and UBSan; any finding aborts the run.
set(ZK_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_compile_options(zk_core PRIVATE ${ZK_FUZZ_FLAGS})
target_compile_options(zk_fake PRIVATE ${ZK_FUZZ_FLAGS})
target_compile_options(zk_console PRIVATE ${ZK_FUZZ_FLAGS})
foreach(target header commands registry batch)
  add_executable(fuzz_${target} tests/fuzz/fuzz_${target}.cpp)
  target_link_libraries(fuzz_${target} PRIVATE zk_fake zk_console zk_core)
  target_compile_options(fuzz_${target} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer,address,undefined)
endforeach()
# The batch-file road read back through the model of cmd.
target_sources(fuzz_batch PRIVATE tests/support/cmd_model.cpp)
