# Run by CPack on the staged package tree before it is packed (CPACK_PRE_BUILD_SCRIPTS): fits
# what `cmake --install` lays out for any prefix to what Debian expects of a package under /usr.
file(GLOB_RECURSE staged_usr LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*/usr")
list(FILTER staged_usr INCLUDE REGEX "/usr$")
if(NOT staged_usr)
  set(staged_usr "${CPACK_TEMPORARY_DIRECTORY}/usr")
endif()
list(GET staged_usr 0 usr)
if(NOT IS_DIRECTORY "${usr}")
  message(FATAL_ERROR "package_stage: no staged /usr under ${CPACK_TEMPORARY_DIRECTORY}")
endif()

# Manual pages and the changelog compressed, with no name or time stored (the same bytes each
# time).
file(GLOB pages "${usr}/share/man/man1/*.1")
foreach(file IN LISTS pages ITEMS "${usr}/share/doc/tallymere/changelog")
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "package_stage: gzip ${file} failed")
  endif()
endforeach()

# Debian's zsh reads packaged completion from vendor-completions; site-functions is for the
# administrator's own (under /usr/local), where a plain `cmake --install` puts it.
set(site "${usr}/share/zsh/site-functions")
set(vendor "${usr}/share/zsh/vendor-completions")
if(IS_DIRECTORY "${site}")
  file(MAKE_DIRECTORY "${vendor}")
  file(GLOB functions "${site}/*")
  foreach(function IN LISTS functions)
    get_filename_component(name "${function}" NAME)
    file(RENAME "${function}" "${vendor}/${name}")
  endforeach()
  file(REMOVE_RECURSE "${site}")
endif()
