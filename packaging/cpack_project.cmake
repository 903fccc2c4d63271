# Read by cpack (CPACK_PROJECT_CONFIG_FILE). The runtime package's dependencies come from
# dpkg-shlibdeps run here rather than by cpack, which would also give the package maintainer
# scripts calling ldconfig where the trigger it ships does that work.
if(NOT CPACK_GENERATOR STREQUAL "DEB" OR NOT CPACK_IRSTACK_SHLIBS_ROOT)
    return()
endif()
set(work ${CPACK_IRSTACK_SHLIBS_ROOT}/shlibdeps)
file(MAKE_DIRECTORY ${work}/debian)
file(TOUCH ${work}/debian/control)
execute_process(COMMAND dpkg-shlibdeps -O ${CPACK_IRSTACK_SHLIBS_ROOT}/lib/libirstack.so.0
                WORKING_DIRECTORY ${work} RESULT_VARIABLE failed OUTPUT_VARIABLE depends
                ERROR_VARIABLE errors OUTPUT_STRIP_TRAILING_WHITESPACE)
if(failed OR errors OR NOT depends MATCHES "^shlibs:Depends=(.+)$")
    message(FATAL_ERROR "dpkg-shlibdeps on libirstack.so.0: ${errors}${depends}")
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
