# The packages' time follows the last commit (the test commit_time): a copy
# of the sources SOURCE, committed at a known time in a git repository of
# its own under DIR, configures with that time as SOURCE_DATE_EPOCH, and a
# new commit configures again with its own.
cmake_minimum_required(VERSION 3.13)
file(REMOVE_RECURSE ${DIR})
file(COPY ${SOURCE}/ DESTINATION ${DIR}/src PATTERN "build*" EXCLUDE PATTERN ".git" EXCLUDE)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${DIR}/src OUTPUT_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "commit time: ${ARGN} failed")
  endif()
endfunction()
# Commits at `time`, then runs `command...` and expects the packages' time to be it.
function(commit_and_expect time)
  run(${CMAKE_COMMAND} -E env GIT_AUTHOR_DATE=@${time}+0000 GIT_COMMITTER_DATE=@${time}+0000
    ${GIT} -c user.name=check -c user.email=check@velmor.invalid commit -q --allow-empty -m "at ${time}")
  run(${ARGN})
  file(STRINGS ${DIR}/build/CMakeCache.txt epoch REGEX "^VELMOR_SOURCE_DATE_EPOCH:")
  if(NOT epoch MATCHES "=${time}$")
    message(FATAL_ERROR "commit time: after the commit at ${time}, ${epoch}")
  endif()
endfunction()

run(${GIT} init -q)
run(${GIT} add -A)
commit_and_expect(1700000000 ${CMAKE_COMMAND} -S ${DIR}/src -B ${DIR}/build -G ${GENERATOR}
  -DCMAKE_MAKE_PROGRAM=${MAKE} -DCMAKE_CXX_COMPILER=${CXX} -DVELMOR_BUILD_TESTS=OFF)
commit_and_expect(1700000600 ${CMAKE_COMMAND} --build ${DIR}/build --target velmor_docs)
