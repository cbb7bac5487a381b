# Run by cpack on the staging tree before it is packed. The compiler's .comment section (its name and
# version) is of no use in a package, and neither strip nor the package build's objcopy --strip-unneeded
# removes it.
file(GLOB_RECURSE staged "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER staged INCLUDE REGEX "/usr/bin/[^/]+$")
foreach(program IN LISTS staged)
  execute_process(COMMAND ${CPACK_QUORVEL_OBJCOPY} --remove-section=.comment "${program}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
