# The programs of every consumer project, linked to ${library}: both
# examples, and code written before <velmor_lic/...>, which still finds the
# bare header names. check_consumer.cmake runs them.
set(examples ${CMAKE_CURRENT_LIST_DIR}/../../examples)
add_executable(consumer ${examples}/run_and_buffer.cpp)
add_executable(run_command ${examples}/run_command.cpp)
target_compile_options(consumer PRIVATE -Wall)
target_compile_options(run_command PRIVATE -Wall)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/bare_names.cpp "#include \"popen_cmd.h\"\nint main() { return 0; }\n")
add_executable(bare_names ${CMAKE_CURRENT_BINARY_DIR}/bare_names.cpp)
foreach(program consumer run_command bare_names)
  target_link_libraries(${program} PRIVATE ${library})
endforeach()
