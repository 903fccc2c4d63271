# Manual pages: scdoc sources kept beside the programs they describe, built into gzipped pages.
# irstack_man_page(<source> PROGRAMS <target>...) gives every target the page; the first target's
# name names the file and the others link to it. The pairs are also listed for the test that
# holds each page's options to the program's --help.
find_program(IRSTACK_SCDOC scdoc)
if(NOT IRSTACK_SCDOC AND NOT WIN32)
    message(STATUS "scdoc not found: no manual pages (tools/install-deps installs it)")
endif()
set(IRSTACK_MAN_DIR ${PROJECT_BINARY_DIR}/man)

function(irstack_man_page source)
    cmake_parse_arguments(PARSE_ARGV 1 page "" "" PROGRAMS)
    set(source ${PROJECT_SOURCE_DIR}/${source})
    set(names "")
    foreach(program ${page_PROGRAMS})
        set_property(GLOBAL APPEND PROPERTY IRSTACK_MAN_PAIRS "$<TARGET_FILE:${program}>\t${source}")
        get_target_property(name ${program} OUTPUT_NAME)
        if(NOT name)
            set(name ${program})
        endif()
        list(APPEND names ${name})
    endforeach()
    if(NOT IRSTACK_SCDOC OR WIN32)
        return()
    endif()
    list(GET names 0 first)
    set(outputs ${IRSTACK_MAN_DIR}/${first}.1.gz)
    foreach(name ${names})
        list(APPEND outputs ${IRSTACK_MAN_DIR}/${name}.1.gz)
    endforeach()
    list(REMOVE_DUPLICATES outputs)
    add_custom_command(OUTPUT ${outputs}
        COMMAND ${CMAKE_COMMAND} -DSCDOC=${IRSTACK_SCDOC} -DSOURCE=${source} -DDIR=${IRSTACK_MAN_DIR}
                "-DNAMES=${names}" -P ${PROJECT_SOURCE_DIR}/cmake/scdoc_page.cmake
        DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/scdoc_page.cmake VERBATIM)
    add_custom_target(man_${first} ALL DEPENDS ${outputs})
    install(FILES ${outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
