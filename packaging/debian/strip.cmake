# Run by cpack before it packs (CPACK_PRE_BUILD_SCRIPTS), once the programs are staged and stripped: takes out
# the sections nothing reads at run time (the compiler's .comment, .note), as Debian's own packaging does.
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
foreach(program ${programs})
  execute_process(COMMAND ${CPACK_TARNEL_STRIP} --remove-section=.comment --remove-section=.note ${program}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot strip ${program}")
  endif()
endforeach()
