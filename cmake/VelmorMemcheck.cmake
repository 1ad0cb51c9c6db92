# Every test under valgrind's memcheck, through CTest's memory checker, and
# machine_info itself over a fake /sys tree in a private mount namespace (its
# full report and ignore_scan_blk); any error or leak fails it. Run by
# scripts/valgrind_check.sh:
#   ctest -S cmake/VelmorMemcheck.cmake [-DBUILD=<dir>]   (default: build-valgrind)
# The tree links machine_info dynamically: valgrind watches the heap through
# the dynamic C library, and a static tool would hide every allocation.
cmake_minimum_required(VERSION 3.13)
get_filename_component(CTEST_SOURCE_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
if(NOT BUILD)
  set(BUILD build-valgrind)
endif()
get_filename_component(CTEST_BINARY_DIRECTORY ${BUILD} ABSOLUTE BASE_DIR ${CTEST_SOURCE_DIRECTORY})
set(CTEST_CMAKE_GENERATOR Ninja)
set(CTEST_BUILD_FLAGS -j2)
set(CTEST_SITE local)
set(CTEST_BUILD_NAME memcheck)
find_program(CTEST_MEMORYCHECK_COMMAND valgrind)
# Forked children that exec the shell leave valgrind; the ones that must end
# before exec are checked by the tests themselves, so keep them silent.
set(memcheck_options --leak-check=full --show-leak-kinds=definite,indirect,possible
  --errors-for-leak-kinds=definite,indirect,possible --child-silent-after-fork=yes)
string(REPLACE ";" " " CTEST_MEMORYCHECK_COMMAND_OPTIONS "${memcheck_options}")

# Left out: the soak (its 11,000 children take many minutes under valgrind,
# and it checks descriptors and children itself); the checks that are no
# test programs of ours (the consumers, abi, packager_flags, the tool's
# symbols, configure_*, commit_time); the fault table and the runs under it,
# whose seccomp filters bind valgrind's own system calls as much as the
# program's. Under valgrind the process runs as memcheck-amd64-linux: its
# /proc name is not the program's, a child it reaps is gone from /proc
# sooner, and an exec that fails ends the child through valgrind with status
# 1 or 127. The runner tests below pin exactly those. valgrind (3.19) runs
# the runner's clone(CLONE_VM | CLONE_VFORK) as a fork and crashes itself
# when that fork fails, which the failed-start test provokes; the fork it
# runs instead shares no memory with the caller either, so the errno of a
# failed exec never reaches the start. valgrind's CPU is one of its own
# (GenuineIntel on any host), so the CPUID of a program under it agrees
# neither with /proc/cpuinfo nor with machine_info run outside it (the
# end-to-end tests). It reports the 4 GiB of never written pages that one
# buffer test hands to write(2), and a malloc of half the address space, as
# errors of the program.
set(left_out "^(abi|packager_flags|commit_time|configure_.*|machine_info_links_only_the_probes|runner_tests_.*"
  "|Rows/FaultTest\\..*|MachineInfoE2eTest\\..*|RunCommandTest\\.ResultsAsDeclared"
  "|PopenCmdTest\\.(GetProcStatReadsOrExplains|UnexecutableShellGives127AndItsReason|FailedStartLeavesNothingAndKeepsTheMask"
  "|NonZeroTimeoutKillsItsOwnChildOnly)"
  "|CpuProbes\\.VendorMatchesProcCpuinfo|BufferTest\\.(WriteFdClampsMoreThanIntMaxReadableBytes|SizedConstructorAndReserve))$")
string(REPLACE ";" "" left_out "${left_out}")

ctest_start(Experimental)
ctest_configure(OPTIONS "-DCMAKE_BUILD_TYPE=RelWithDebInfo;-DVELMOR_BUILD_TESTS=ON;-DVELMOR_DYNAMIC_TOOL=ON"
  RETURN_VALUE status)
if(status EQUAL 0)
  ctest_build(RETURN_VALUE status NUMBER_ERRORS errors)
endif()
if(NOT status EQUAL 0 OR errors)
  message(FATAL_ERROR "valgrind: configuring or building ${CTEST_BINARY_DIRECTORY} failed")
endif()
file(GLOB logs ${CTEST_BINARY_DIRECTORY}/Testing/Temporary/MemoryChecker.*.log)
if(logs)
  file(REMOVE ${logs})
endif()
ctest_memcheck(EXCLUDE_LABEL "soak|consumers" EXCLUDE "${left_out}" PARALLEL_LEVEL 2
  RETURN_VALUE failed DEFECT_COUNT defects)
# What valgrind found, test by test (its command names the test).
file(GLOB logs ${CTEST_BINARY_DIRECTORY}/Testing/Temporary/MemoryChecker.*.log)
foreach(log IN LISTS logs)
  file(STRINGS ${log} found REGEX "Command: |are (definitely|indirectly|possibly) lost|Invalid |uninitialised|Mismatched")
  list(LENGTH found count)
  if(count GREATER 1)
    string(REPLACE ";" "\n" found "${found}")
    message("${found}")
  endif()
endforeach()

# machine_info over a fake /sys, in a private mount namespace of its own.
set(fake_sys "set -e
mount -t tmpfs velmor-fake-sys /sys
mkdir -p /sys/class/dmi/id /sys/block/sda/device /sys/block/nvme0n1/device /sys/block/loop0
printf 'dmi:bvnFake:bvr1.0:\\n\\0\\0\\0\\0' > /sys/class/dmi/id/modalias
printf '  S4EWNX0N123456 \\n' > /sys/block/nvme0n1/device/serial
printf 'WD-WCC4N1234567\\n\\0\\0' > /sys/block/sda/device/serial
out=$(\"$@\")
[ \"$(printf '%s\\n' \"$out\" | wc -l)\" -ge 2 ]")
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
set(namespace unshare -m --propagation private)
if(NOT uid EQUAL 0)
  set(namespace unshare -rm)
endif()
foreach(arguments "" ignore_scan_blk)
  set(log ${CTEST_BINARY_DIRECTORY}/machine_info-memcheck${arguments}.log)
  execute_process(COMMAND ${namespace} sh -c "${fake_sys}" sh ${CTEST_MEMORYCHECK_COMMAND} ${memcheck_options}
      --error-exitcode=1 --log-file=${log} ${CTEST_BINARY_DIRECTORY}/machine_info ${arguments}
    RESULT_VARIABLE status)
  file(STRINGS ${log} summary REGEX "ERROR SUMMARY|in use at exit")
  message("machine_info ${arguments}: ${summary}")
  if(NOT status EQUAL 0)
    file(READ ${log} text)
    message("${text}")
    math(EXPR defects "${defects} + 1")
  endif()
endforeach()
if(failed OR defects)
  message(FATAL_ERROR "valgrind: ${defects} defect(s); failed tests: ${failed}")
endif()
message("valgrind: clean")
