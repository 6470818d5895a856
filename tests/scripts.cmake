# Tests written in Python: the prompt at a terminal, the installed files,
# the manual page and the README's quick start.  Exit status 77 means a
# tool they need is missing here.
find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_FOUND)
  message(WARNING "Python 3 not found: the prompt and documentation tests are not run")
  return()
endif()

if(SUNUFS_HAVE_LIBEDIT)
  set(editing 1)
else()
  set(editing 0)
endif()
add_test(NAME prompt_e2e
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/shell/prompt_e2e_test.py
          $<TARGET_FILE:sunufs> $<TARGET_FILE:mksunimg> ${editing})

add_test(NAME everyday_e2e
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/shell/everyday_e2e_test.py
          $<TARGET_FILE:sunufs> $<TARGET_FILE:mksunimg> ${editing} ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})

foreach(check install manpage quickstart commands)
  add_test(NAME docs_e2e_${check}
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/shell/docs_e2e_test.py
            ${check} ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR} ${CMAKE_COMMAND})
endforeach()

set_tests_properties(prompt_e2e everyday_e2e docs_e2e_install docs_e2e_manpage docs_e2e_quickstart
  docs_e2e_commands
  PROPERTIES LABELS e2e ENVIRONMENT TZ=UTC SKIP_RETURN_CODE 77 TIMEOUT 600)

# The prompt test times what a user would see at a terminal, and the quick
# start builds a whole clone: each runs alone, so neither starves the other
# or any other test of the processor.
set_tests_properties(prompt_e2e everyday_e2e docs_e2e_quickstart PROPERTIES RUN_SERIAL TRUE)
