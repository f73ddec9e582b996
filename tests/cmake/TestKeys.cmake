# updater_test_keys(DIR LABEL): the key pairs "test" and "second" in DIR,
# made with signify at configure time unless they are there already (the
# secret keys stay in the build tree). LABEL goes into their comments.
function(updater_test_keys dir label)
  file(MAKE_DIRECTORY ${dir})
  foreach(name test second)
    if(NOT EXISTS ${dir}/${name}.pub)
      execute_process(COMMAND ${UPDATER_SIGNIFY} -G -n -c "kestran ${label}${name} key"
                              -p ${dir}/${name}.pub -s ${dir}/${name}.sec
                      RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR "${UPDATER_SIGNIFY} -G failed")
      endif()
    endif()
  endforeach()
endfunction()
