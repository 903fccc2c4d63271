# cmake -DSCDOC=<scdoc> -DSOURCE=<page.scd> -DDIR=<out dir> -DNAMES=<name;...> -P scdoc_page.cmake
# Writes DIR/<first name>.1 and its gzip -9n copy; the other names become links to that copy.
list(GET NAMES 0 first)
file(MAKE_DIRECTORY ${DIR})
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${DIR}/${first}.1
                ERROR_VARIABLE error RESULT_VARIABLE failed)
if(failed)
    file(REMOVE ${DIR}/${first}.1)
    message(FATAL_ERROR "scdoc ${SOURCE}: ${error}")
endif()
execute_process(COMMAND gzip -9nkf ${DIR}/${first}.1 RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "gzip ${DIR}/${first}.1 failed")
endif()
foreach(name ${NAMES})
    if(NOT name STREQUAL first)
        file(CREATE_LINK ${first}.1.gz ${DIR}/${name}.1.gz SYMBOLIC)
    endif()
endforeach()
