# Writes the version source (OUTPUT, from INPUT) with the commit the source tree SOURCE_DIR is
# checked out at, or "unknown" when it is not a git checkout of its own. Run at every build;
# the file is rewritten only when its content changes, so only it is compiled again.
set(commit "unknown")
find_program(git_program git)
if(git_program)
  execute_process(COMMAND ${git_program} rev-parse --show-toplevel
                  WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE top RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # A source tree unpacked inside some other checkout must not take that one's commit.
  if(NOT failed)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" source)
  endif()
  if(NOT failed AND top STREQUAL source)
    execute_process(COMMAND ${git_program} rev-parse --short=12 HEAD
                    WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE head RESULT_VARIABLE failed
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT failed AND head)
      set(commit "${head}")
    endif()
  endif()
endif()
configure_file(${INPUT} ${OUTPUT}.tmp @ONLY)
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.tmp ${OUTPUT})
file(REMOVE ${OUTPUT}.tmp)
